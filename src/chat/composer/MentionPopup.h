#pragma once

// The list of models offered while the user types an `@` mention: an ink card
// of 45-pixel rows, the highlighted one marked, above the composer. It holds
// no state of its own: the composer sets the models and the highlighted row
// and hears back through onHover and onPick. It never takes the keyboard, so
// the editor keeps typing while the list is open.
//
// A child of the chat page, not of the composer, so it can stand above the
// composer's panel without being clipped. Main thread only.

#include "models/ModelInfo.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>

class QPropertyAnimation;
class QScrollArea;

namespace cvn {

class MentionRows;
class PopupShadow;

class MentionPopup : public QWidget {
    Q_OBJECT
public:
    static constexpr int rowHeight = 45;
    static constexpr int maxDirectRows = 5; // from six rows on, the list scrolls
    static constexpr int scrollHeight = 240;
    static constexpr int sideMargin = 8;
    static constexpr int bottomMargin = 4;
    static constexpr int cardPadding = 6;

    // n x 45 + 16 for up to five rows, 256 from six on.
    static int heightFor(qsizetype rows);

    explicit MentionPopup(QWidget* parent = nullptr);
    ~MentionPopup() override;

    // `highlighted` must lie within the models; the composer clamps it.
    void setModels(const QList<ModelInfo>& models, int highlighted);
    void setHighlighted(int highlighted);
    const QList<ModelInfo>& models() const { return m_models; }
    int highlighted() const { return m_highlighted; }

    std::function<void(int row)> onHover;
    std::function<void(const ModelInfo& model)> onPick;

    // The scroll area holding the rows; it scrolls only from six rows on.
    QScrollArea* scrollArea() const { return m_scroll; }
    bool isScrolling() const { return m_models.size() > maxDirectRows; }
    // The rows' own widget, for pointer events (row i spans y 45 i ... 45 i + 45).
    QWidget* rowsWidget() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void layoutRows();
    void scrollToHighlighted();

    QList<ModelInfo> m_models;
    int m_highlighted = 0;
    QScrollArea* m_scroll = nullptr;
    MentionRows* m_rows = nullptr;
    QPropertyAnimation* m_scrollAnimation = nullptr;
    QPointer<PopupShadow> m_shadow;
};

} // namespace cvn
