#pragma once

#include "ui_kit/ModalOverlay.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace cvn {

// A menu of actions over a dimmed window: a 400-wide card with a one-line
// header and one row per item, destructive items in the danger colour. It
// reports each gesture once through onChoose: the row's id for a click on a
// row, nothing for a click on the scrim or Escape. A click on the header or a
// divider reports nothing. It never hides itself; the owner removes it.
// Create it as a child of the widget it covers; it follows that widget's size.
class CvnActionSheet : public ModalOverlay {
    Q_OBJECT
public:
    struct Item {
        QString id;    // reported when the row is clicked; unique in one sheet
        QString label; // shown verbatim
        bool destructive = false;
    };
    using OnChoose = std::function<void(std::optional<QString>)>;

    CvnActionSheet(const QString& header, const QList<Item>& items, OnChoose onChoose, QWidget* parent);

    QString header() const { return m_header; }
    const QList<Item>& items() const { return m_items; }

private:
    QString m_header;
    QList<Item> m_items;
    OnChoose m_onChoose;
};

} // namespace cvn
