#pragma once

// The row the models screen lists each model in: the screen builds one per
// model and answers its buttons.

#include "models/ModelInfo.h"

#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace cvn {

class CvnButton;

// One model in the list card: name and second line, the info button (hover or
// click for the capacity card) and the More button. 70 high, no action of its
// own: the current model is not chosen on this screen.
class ModelRow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 70;
    static constexpr int kPadding = 31;
    static constexpr int kSpacing = 13;
    // A projector's second line, for the models that see through it (their
    // display names, maybe none).
    static QString adapterLine(const QStringList& users);

    // `seesImages`: the model has a projector to see images through
    // (ProjectorPairing::projectorFor), shown by the "IMAGES" tag after its
    // name, where no long second line can push it out of sight.
    ModelRow(const ModelInfo& model, bool showDivider, bool seesImages = false, QWidget* parent = nullptr);

    const ModelInfo& model() const { return m_model; }
    bool seesImages() const { return m_seesImages; }
    // For a projector row: the models that see images through it.
    void setAdapterUsers(QStringList users) { m_adapterUsers = std::move(users); }
    bool showsDivider() const { return m_showDivider; }
    QString secondLine() const;
    qreal nameOpacity() const;
    CvnButton* infoButton() const { return m_info; }
    CvnButton* moreButton() const { return m_more; }
    // The "IMAGES" tag's rectangle; empty without one.
    QRectF tagRect() const;
    // The tag as the rows and the picker draw it: `text` in a rounded
    // outline, both in `color`.
    static void paintTag(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color);
    static inline const QString tagText = QStringLiteral("IMAGES");
    // The divider's rectangle, empty without one.
    QRectF dividerRect() const;

signals:
    void moreClicked();
    void infoClicked();
    void infoHovered(bool hovering);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setInfoHover(bool hovering);
    QRectF textRect() const;

    ModelInfo m_model;
    bool m_showDivider;
    bool m_seesImages;
    QStringList m_adapterUsers;
    bool m_infoHover = false;
    CvnButton* m_info;
    CvnButton* m_more;
};

} // namespace cvn
