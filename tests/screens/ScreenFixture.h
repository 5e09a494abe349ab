#pragma once

#include "Fakes.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "screens/ModelsScreen.h"
#include "support/TempEnv.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QMouseEvent>

#include <memory>

namespace cvn::test {

// A models screen over a temporary models folder with `count` models, the
// fake copier, and memory figures fixed at 60000 free of 65536 MB.
struct ScreenFixture {
    explicit ScreenFixture(int count, QSize size = {900, 900})
        : facts(memory(60000, 65536))
    {
        for (int i = 0; i < count; ++i)
            writeModel(QStringLiteral("model-%1.gguf").arg(i));
        store = std::make_unique<ModelStore>(folder);
        import = std::make_unique<ModelImport>(*store, copier);
        screen = std::make_unique<ModelsScreen>(*store, *import, [this] { ++backs; });
        screen->setFileChooser([this](QWidget*, std::function<void(const QString&)> chosen) {
            ++chooserOpened;
            if (!chooserAnswer.isEmpty())
                chosen(chooserAnswer);
        });
        screen->resize(size);
        showAndSettle(*screen);
    }

    QString writeModel(const QString& name, const QString& in = {}) const
    {
        return test::writeModel(in.isEmpty() ? folder : in, name);
    }

    // A move of the pointer to `pos` in `widget`, as the window system sends
    // it to a widget that tracks the mouse.
    static void moveTo(QWidget* widget, QPoint pos)
    {
        QMouseEvent move(QEvent::MouseMove, QPointF(pos), widget->mapToGlobal(QPointF(pos)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    }

    QString folder = makeTempFolder("models");
    SystemFacts::Override facts;
    FakeCopier copier;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<ModelImport> import;
    std::unique_ptr<ModelsScreen> screen;
    int backs = 0;
    int chooserOpened = 0;
    QString chooserAnswer;
};

} // namespace cvn::test
