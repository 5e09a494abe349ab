#pragma once

#include <QAbstractButton>
#include <QPointer>
#include <QStringList>

#include <optional>

class QScrollArea;

namespace cvn {

class ComboPopup;

// A drop-down selector for a short list of options on a settings card: an
// outlined pill with the current option and a chevron. A click opens a list
// upwards, as wide as the pill; a click on a row writes its index and closes
// it, a click on the pill closes it again. Nothing else closes it (not
// Escape, not a click elsewhere): the list is a child of the window, not a
// Qt::Popup, so it sits above sibling controls without grabbing input.
class CvnComboBox : public QAbstractButton {
    Q_OBJECT
public:
    CvnComboBox(const QStringList& options, int selection, QWidget* parent = nullptr);
    ~CvnComboBox() override;

    QStringList options() const { return m_options; }
    void setOptions(const QStringList& options);
    int selection() const { return m_selection; }
    void setSelection(int selection);
    // The option shown on the pill: empty when the selection is out of range.
    QString title() const;

    bool isOpen() const { return m_open; }
    void setOpen(bool open);
    bool isHovering() const { return m_hovering; }
    std::optional<int> hoveredIndex() const { return m_hoveredIndex; }

    // The list, once it has been opened; named "cvn.popup", rows "cvn.row.<i>".
    QWidget* popup() const;
    QScrollArea* popupScrollArea() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // A row was clicked: also when it is the row already selected.
    void selectionWritten(int selection);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class ComboPopup;
    friend class ComboRow;
    void rowEntered(int index);
    void rowLeft(int index);
    void rowClicked(int index);
    void placePopup();
    void watchAncestors();

    QStringList m_options;
    int m_selection;
    bool m_open = false;
    bool m_hovering = false;
    std::optional<int> m_hoveredIndex;
    QPointer<ComboPopup> m_popup;
    QList<QPointer<QWidget>> m_watched;
};

} // namespace cvn
