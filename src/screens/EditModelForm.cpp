#include "screens/EditModelForm.h"

#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnComboBox.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include <limits>

namespace cvn {

namespace {

constexpr int kTitleGapBelow = 4;
constexpr int kSectionGapAbove = 12;
constexpr int kCaptionGapBelow = 6;
constexpr QMargins kFieldPadding{14, 8, 14, 8};
constexpr qreal kFieldRadius = 19;
constexpr int kTrackHeight = 6;
constexpr int kThumbSize = 22;
constexpr qreal kFadedOpacity = 0.5;

qreal fade(bool faded)
{
    return faded ? kFadedOpacity : 1.0;
}

const DynamicColor kFaded = Theme::paper.withAlpha(0.6);

// A row of the column with its own padding around it.
QWidget* padded(QWidget* content, QMargins margins, QWidget* parent)
{
    auto* holder = new QWidget(parent);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(margins);
    layout->setSpacing(0);
    layout->addWidget(content);
    return holder;
}

// The outlined frame of the name field: drawn, so it matches the kit's other
// outlined controls rather than the platform's line edit.
class NameFrame : public QWidget {
public:
    using QWidget::QWidget;

    bool isFaded() const { return m_faded; }
    void setFaded(bool faded)
    {
        m_faded = faded;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        Theme::strokeInside(p, QRectF(rect()), kFieldRadius, Theme::paper.withAlpha(0.25 * fade(m_faded))());
    }

private:
    bool m_faded = false;
};

// A line edit's palette on the card, its disabled text faded like the rest
// of a disabled control.
void applyFieldPalette(QLineEdit* field)
{
    QPalette palette = Theme::palette(Theme::Surface::Card, Theme::appearance());
    palette.setColor(QPalette::Disabled, QPalette::Text, Theme::paper.withAlpha(kFadedOpacity)());
    field->setPalette(palette);
}

} // namespace

FormText::FormText(const QString& text, DynamicColor color, QWidget* parent)
    : QWidget(parent)
    , m_text(text)
    , m_color(color)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setFont(Theme::interMedium16());
    Theme::repaintOnAppearanceChange(this);
}

void FormText::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

int FormText::heightForWidth(int width) const
{
    const QFontMetrics metrics(font());
    const int lines = metrics.boundingRect(QRect(0, 0, std::max(width, 1), std::numeric_limits<int>::max() / 2),
                                           Qt::TextWordWrap | Qt::AlignLeft, m_text)
                          .height();
    return std::max(lines, metrics.height());
}

QSize FormText::sizeHint() const
{
    const int w = EditModelForm::kWidth - EditModelForm::kIndent;
    return {w, heightForWidth(w)};
}

void FormText::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(m_color());
    p.drawText(rect(), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_text);
}

EditModelForm::EditModelForm(EditModelFormModel* form, QWidget* parent)
    : QWidget(parent)
    , m_form(form)
{
    setObjectName(QStringLiteral("cvn.editModelForm"));
    setFixedWidth(kWidth);
    QSizePolicy policy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    m_column = new QVBoxLayout(this);
    m_column->setContentsMargins(0, 0, 0, 0);
    m_column->setSpacing(0);
    using Mode = EditModelFormModel::NameMode;

    auto title = [this](const QString& text, int above) {
        m_column->addWidget(padded(new FormText(text, kFaded), QMargins(0, above, 0, kTitleGapBelow), this));
    };
    auto caption = [this](FormText*& text, QWidget*& row, DynamicColor color) {
        text = new FormText(QString(), color);
        row = padded(text, QMargins(kIndent, 0, 0, kCaptionGapBelow), this);
        m_column->addWidget(row);
    };

    title(QStringLiteral("DISPLAY NAME"), 0);
    m_autoName = new CvnRadioButton(QStringLiteral("Auto-cleaned: ") + form->cleanedName(), true, true,
                                    [this] { m_form->chooseNameMode(Mode::Auto); }, this);
    m_originalName = new CvnRadioButton(QStringLiteral("Original filename: ") + form->originalName(), false, true,
                                        [this] { m_form->chooseNameMode(Mode::Original); }, this);
    m_customName = new CvnRadioButton(QStringLiteral("Custom"), false, true,
                                      [this] { m_form->chooseNameMode(Mode::Custom); }, this);
    m_column->addWidget(m_autoName);
    m_column->addWidget(m_originalName);
    m_column->addWidget(m_customName);

    m_nameFrame = new NameFrame;
    m_nameFrame->setObjectName(QStringLiteral("cvn.editModelForm.nameFrame"));
    auto* inFrame = new QVBoxLayout(m_nameFrame);
    inFrame->setContentsMargins(kFieldPadding);
    m_nameField = new QLineEdit(m_nameFrame);
    m_nameField->setObjectName(QStringLiteral("cvn.editModelForm.name"));
    m_nameField->setFrame(false);
    m_nameField->setFont(Theme::interMedium16());
    m_nameField->setAttribute(Qt::WA_MacShowFocusRect, false);
    applyFieldPalette(m_nameField);
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, m_nameField,
            [field = m_nameField] { applyFieldPalette(field); });
    // The cap counts user-perceived characters, never QLineEdit's UTF-16 units.
    m_nameField->setMaxLength(std::numeric_limits<int>::max());
    inFrame->addWidget(m_nameField);
    m_column->addWidget(padded(m_nameFrame, QMargins(kIndent, 6, 0, 0), this));
    connect(m_nameField, &QLineEdit::textEdited, this, &EditModelForm::nameEdited);

    title(QStringLiteral("CONTEXT SIZE"), kSectionGapAbove);
    m_autoContext = new CvnRadioButton(QStringLiteral("Auto (recommended)"), true, true,
                                       [this] { m_form->setManual(false); }, this);
    m_column->addWidget(m_autoContext);
    caption(m_autoCaption, m_autoCaptionRow, kFaded);
    m_manualContext = new CvnRadioButton(QStringLiteral("Manual"), false, true, [this] { m_form->setManual(true); },
                                         this);
    m_column->addWidget(m_manualContext);
    m_slider = new CvnCardSlider(form->stepIndex(), int(form->steps().size()), false, kTrackHeight, kThumbSize);
    m_column->addWidget(padded(m_slider, QMargins(kIndent, 4, 0, 0), this));
    connect(m_slider, &CvnCardSlider::valueWritten, this, [this](int index) { m_form->setStepIndex(index); });
    caption(m_manualCaption, m_manualCaptionRow, kFaded);
    caption(m_trainedCaption, m_trainedCaptionRow, kFaded);
    caption(m_warning, m_warningRow, Theme::dangerOnInk);

    title(QStringLiteral("CHAT TEMPLATE"), kSectionGapAbove);
    m_template = new CvnComboBox(EditModelFormModel::chatTemplateChoices(), form->templateIndex());
    m_column->addWidget(padded(m_template, QMargins(0, 4, 0, 0), this));
    connect(m_template, &CvnComboBox::selectionWritten, this, [this](int index) {
        m_form->setTemplateIndex(index);
        m_template->setOpen(false);
    });

    connect(form, &EditModelFormModel::changed, this, &EditModelForm::refresh);
    refresh();
}

void EditModelForm::nameEdited(const QString& text)
{
    const QString capped = EditModelFormModel::capName(text);
    if (capped != text) {
        const int cursor = std::min<int>(m_nameField->cursorPosition(), capped.size());
        m_nameField->setText(capped);
        m_nameField->setCursorPosition(cursor);
    }
    m_form->setName(capped);
}

void EditModelForm::refresh()
{
    if (!m_form)
        return;
    using Mode = EditModelFormModel::NameMode;
    const EditModelFormModel& f = *m_form;
    m_autoName->setOn(f.nameMode() == Mode::Auto);
    m_originalName->setOn(f.nameMode() == Mode::Original);
    m_customName->setOn(f.nameMode() == Mode::Custom);
    if (m_nameField->text() != f.name())
        m_nameField->setText(f.name());
    const bool custom = f.nameMode() == Mode::Custom;
    m_nameField->setEnabled(custom);
    // A disabled field fades, outline and text together, as the slider does.
    static_cast<NameFrame*>(m_nameFrame)->setFaded(!custom);

    m_autoContext->setOn(!f.manual());
    m_manualContext->setOn(f.manual());
    m_slider->setValue(f.stepIndex());
    m_slider->setEnabled(f.manual());
    m_autoCaption->setText(f.autoCaption());
    m_manualCaption->setText(f.manualCaption());
    m_trainedCaption->setText(f.trainedCaption());
    m_warning->setText(f.ramWarning());
    m_autoCaptionRow->setVisible(!f.manual());
    m_manualCaptionRow->setVisible(f.manual());
    m_trainedCaptionRow->setVisible(f.manual());
    m_warningRow->setVisible(f.showsRamWarning());

    if (m_template->selection() != f.templateIndex())
        m_template->setSelection(f.templateIndex());
}

qreal EditModelForm::nameFieldOpacity() const
{
    return fade(static_cast<NameFrame*>(m_nameFrame)->isFaded());
}

int EditModelForm::heightForWidth(int) const
{
    return m_column->totalHeightForWidth(kWidth);
}

QSize EditModelForm::sizeHint() const
{
    return {kWidth, heightForWidth(kWidth)};
}

} // namespace cvn
