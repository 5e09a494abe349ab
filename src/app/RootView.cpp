#include "app/RootView.h"

#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "ui_kit/Theme.h"

#include <QPainter>
#include <QShowEvent>
#include <QVBoxLayout>

#include <cstdio>

namespace cvn {

RootView::RootView(RigBridgeServer& bridge, QWidget* parent)
    : QWidget(parent)
    , m_bridge(bridge)
{
    setMinimumSize(minimumContentSize);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Theme::repaintOnAppearanceChange(this);
}

void RootView::setContent(QWidget* content)
{
    delete m_content;
    m_content = content;
    if (content)
        layout()->addWidget(content);
}

void RootView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Spontaneous shows are the window system's (un-minimising); the content
    // appears only through our own show().
    if (event->spontaneous())
        return;
    std::fprintf(stderr, "RigBridge: window appeared - requesting start()\n");
    bridgeLog(QStringLiteral("RootView.onAppear: requesting start()"));
    m_bridge.start();
}

void RootView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::pageBackground());
}

} // namespace cvn
