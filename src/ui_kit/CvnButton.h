#pragma once

#include <QAbstractButton>
#include <QPainterPath>

namespace cvn {

// One push button class drawn in one of the kit's styles: pills with a text
// label (full 38 high, compact 30 high) or a rounded hit area around an icon.
// The styles only draw; they read the pressed state and nothing else (no
// hover, and a disabled button keeps its colours). The whole rounded shape
// takes clicks, not only the label.
class CvnButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Style {
        SelectedPill,        // filled onCard, card label; fills the offered width
        CompactSurfacePill,  // filled text colour, page label; fills the width
        OutlinePill,         // onCard border and label; fills the width
        CompactOutlinePill,  // as wide as its label plus 32
        Icon,                // 8 padding, radius 19, onCard 8 % while pressed
        CompactIcon,         // 6 padding, radius 15
        Destructive,         // the red confirm pill of the destructive dialogs
    };

    CvnButton(Style style, const QString& text, QWidget* parent = nullptr);
    // Icon styles: `label` (usually an icon of Icons.h) becomes a child laid
    // out inside the padding; it never takes the clicks itself.
    CvnButton(Style style, QWidget* label, QWidget* parent = nullptr);

    Style style() const { return m_style; }
    QWidget* labelWidget() const { return m_label; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The rounded shape in widget coordinates.
    QPainterPath shape() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    void init();
    bool isIconStyle() const;
    int padding() const;
    int pillHeight() const;
    qreal radius() const;

    Style m_style;
    QWidget* m_label = nullptr;
};

// The named styles, as the screens use them.
class CvnSelectedPillButton : public CvnButton {
public:
    explicit CvnSelectedPillButton(const QString& text, QWidget* parent = nullptr)
        : CvnButton(Style::SelectedPill, text, parent) {}
};

class CvnCompactSurfacePillButton : public CvnButton {
public:
    explicit CvnCompactSurfacePillButton(const QString& text, QWidget* parent = nullptr)
        : CvnButton(Style::CompactSurfacePill, text, parent) {}
};

class CvnOutlinePillButton : public CvnButton {
public:
    explicit CvnOutlinePillButton(const QString& text, QWidget* parent = nullptr)
        : CvnButton(Style::OutlinePill, text, parent) {}
};

class CvnCompactOutlinePillButton : public CvnButton {
public:
    explicit CvnCompactOutlinePillButton(const QString& text, QWidget* parent = nullptr)
        : CvnButton(Style::CompactOutlinePill, text, parent) {}
};

class CvnIconButton : public CvnButton {
public:
    explicit CvnIconButton(QWidget* icon, QWidget* parent = nullptr) : CvnButton(Style::Icon, icon, parent) {}
};

class CvnCompactIconButton : public CvnButton {
public:
    explicit CvnCompactIconButton(QWidget* icon, QWidget* parent = nullptr)
        : CvnButton(Style::CompactIcon, icon, parent) {}
};

} // namespace cvn
