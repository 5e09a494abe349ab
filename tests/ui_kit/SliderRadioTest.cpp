#include "KitTest.h"

#include "ui_kit/CvnCardSlider.h"

#include <QSignalSpy>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

// A slider as the settings screens make it: track 6, thumb 22, 222 wide.
struct Fixture {
    explicit Fixture(int value = 3, int steps = 5, bool enabled = true) : slider(value, steps, enabled, 6, 22)
    {
        slider.resize(222, 32);
        showAndSettle(slider);
    }
    CvnCardSlider slider;
};

void press(QWidget* w, int x) { QTest::mousePress(w, Qt::LeftButton, {}, QPoint(x, 16)); }
void release(QWidget* w, int x) { QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(x, 16)); }

void drag(QWidget* w, int x)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(x, 16), w->mapToGlobal(QPointF(x, 16)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

} // namespace

using SliderTest = KitTest;
using RadioTest = KitTest;

TEST_F(SliderTest, TrackTicksAndThumbGeometryAndColours)
{
    Fixture f;
    EXPECT_EQ(f.slider.height(), 32);
    EXPECT_DOUBLE_EQ(f.slider.usableLength(), 200);
    QImage image = renderOver(f.slider, kInk);
    // Ticks (2 wide, card colour) at x = 10, 60, 110, 160, 210 over the track rows 13-18.
    for (int x : {10, 60, 110}) {
        EXPECT_TRUE(pixelNear(image, x, 16, kInk)) << x;
        EXPECT_TRUE(pixelNear(image, x + 1, 13, kInk)) << x;
        EXPECT_TRUE(pixelNear(image, x + 1, 18, kInk)) << x;
    }
    EXPECT_TRUE(pixelNear(image, 209, 16, kWhite)) << "track just left of the last tick";
    EXPECT_TRUE(pixelNear(image, 210, 16, kInk));
    EXPECT_TRUE(pixelNear(image, 40, 16, kWhite)) << "track";
    EXPECT_TRUE(pixelNear(image, 40, 12, kInk)) << "above the track";
    EXPECT_TRUE(pixelNear(image, 40, 19, kInk)) << "below the track";
    // Value 3 puts the thumb at x 150-172, y 5-27 with its card dot inside.
    EXPECT_TRUE(pixelNear(image, 152, 16, kWhite));
    EXPECT_TRUE(pixelNear(image, 161, 16, kInk)) << "dot";
    EXPECT_TRUE(pixelNear(image, 161, 7, kWhite)) << "thumb top";
    EXPECT_TRUE(pixelNear(image, 161, 4, kInk)) << "above the thumb";
    EXPECT_TRUE(pixelNear(image, 161, 25, kWhite)) << "thumb bottom";
    EXPECT_TRUE(pixelNear(image, 161, 28, kInk)) << "below the thumb";
    EXPECT_TRUE(pixelNear(image, 150, 16, kInk, 40)) << "the thumb's inner border";

    Theme::setAppearance(Appearance::Dark);
    image = renderOver(f.slider, kWhite);
    EXPECT_TRUE(pixelNear(image, 40, 16, kInk));
    EXPECT_TRUE(pixelNear(image, 110, 16, kWhite));
    EXPECT_TRUE(pixelNear(image, 152, 16, kInk));
    EXPECT_TRUE(pixelNear(image, 161, 16, kWhite));
}

TEST_F(SliderTest, PressAndDragWriteTheNearestPositionNotRelease)
{
    Fixture f(0);
    QSignalSpy written(&f.slider, &CvnCardSlider::valueWritten);
    const auto last = [&] { return written.last().at(0).toInt(); };

    const auto click = [&](int x) {
        press(&f.slider, x);
        release(&f.slider, x);
        return last();
    };
    EXPECT_EQ(click(0), 0);
    EXPECT_EQ(click(221), 4);
    EXPECT_EQ(click(85), 1);
    EXPECT_EQ(click(86), 2) << "exactly half-way between 1 and 2: the higher one";
    EXPECT_EQ(f.slider.value(), 2);
    EXPECT_EQ(written.count(), 4) << "releases write nothing";

    press(&f.slider, 100);
    drag(&f.slider, -50);
    EXPECT_EQ(last(), 0);
    drag(&f.slider, 500);
    EXPECT_EQ(last(), 4);
    drag(&f.slider, 500); // unchanged positions are written again
    EXPECT_EQ(written.count(), 8);
    release(&f.slider, 500);
    EXPECT_EQ(written.count(), 8);
    EXPECT_EQ(f.slider.value(), 4);
}

TEST_F(SliderTest, NoWritesWithoutStepsOrWhenDisabled)
{
    Fixture oneStep(0, 1);
    QSignalSpy a(&oneStep.slider, &CvnCardSlider::valueWritten);
    press(&oneStep.slider, 150);
    drag(&oneStep.slider, 200);
    EXPECT_EQ(a.count(), 0);
    // No ticks: the track is whole under where tick 0 would be.
    EXPECT_TRUE(pixelNear(renderOver(oneStep.slider, kInk), 100, 16, kWhite));

    // A disabled slider lets the click through to its parent.
    QWidget parent;
    parent.resize(222, 32);
    auto* slider = new CvnCardSlider(1, 5, false, 6, 22, &parent);
    slider->resize(222, 32);
    showAndSettle(parent);
    QSignalSpy b(slider, &CvnCardSlider::valueWritten);
    press(slider, 200);
    EXPECT_EQ(b.count(), 0);
    EXPECT_EQ(slider->value(), 1);
    // Drawn at 0.4: the white track over the dark card.
    EXPECT_TRUE(pixelNear(renderOver(*slider, kInk), 40, 16, QColor(127, 127, 127), 1));
}

TEST_F(SliderTest, TinyWidthsAndOutOfRangeValuesStayWellDefined)
{
    CvnCardSlider slider(9, 5, true, 6, 22);
    slider.resize(20, 32);
    showAndSettle(slider);
    EXPECT_DOUBLE_EQ(slider.usableLength(), 1);
    QSignalSpy written(&slider, &CvnCardSlider::valueWritten);
    press(&slider, 15);
    EXPECT_GE(written.last().at(0).toInt(), 0);
    EXPECT_LE(written.last().at(0).toInt(), 4);
    slider.setValue(9); // the caller's value is shown as given, not corrected
    EXPECT_EQ(slider.value(), 9);
}

TEST_F(RadioTest, RowGeometryDotAndClicks)
{
    int actions = 0;
    CvnRadioButton radio(QStringLiteral("Auto"), true, true, [&] { ++actions; });
    EXPECT_EQ(radio.heightForWidth(400), 32);
    radio.resize(400, radio.heightForWidth(400));
    showAndSettle(radio);
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 10, 16, kWhite)) << "dot";
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 1, 16, kWhite)) << "ring";
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 4, 16, kInk)) << "between ring and dot";
    radio.setOn(false);
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 10, 16, kInk));

    QTest::mouseClick(&radio, Qt::LeftButton, {}, QPoint(390, 16));
    EXPECT_EQ(actions, 1);
    EXPECT_FALSE(radio.isOn()) << "the caller decides the new state";

    // A long label wraps and the row grows.
    CvnRadioButton wrapped(QString(40, QLatin1Char('w')).replace(QLatin1String("wwww"), QLatin1String("www ")),
                           false, true);
    EXPECT_GT(wrapped.heightForWidth(150), 32 + 15);
}

TEST_F(RadioTest, HoverDimsAndDisabledStaysDimAndInert)
{
    CvnRadioButton radio(QStringLiteral("Manual"), true, true);
    radio.resize(300, 32);
    showAndSettle(radio);
    cvn::test::sendEnter(&radio);
    EXPECT_TRUE(radio.isHovering());
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 10, 16, QColor(212, 212, 212), 1)) << "0.8";
    cvn::test::sendLeave(&radio);
    EXPECT_TRUE(pixelNear(renderOver(radio, kInk), 10, 16, kWhite));

    int actions = 0;
    CvnRadioButton disabled(QStringLiteral("Off"), true, false, [&] { ++actions; });
    disabled.resize(300, 32);
    showAndSettle(disabled);
    cvn::test::sendEnter(&disabled);
    EXPECT_TRUE(pixelNear(renderOver(disabled, kInk), 10, 16, QColor(127, 127, 127), 1)) << "0.4 even hovered";
    QTest::mouseClick(&disabled, Qt::LeftButton, {}, QPoint(10, 16));
    EXPECT_EQ(actions, 0);
}
