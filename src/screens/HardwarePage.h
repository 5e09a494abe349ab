#pragma once

#include "models/SystemFacts.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnConfirmDialog.h"

#include <QPointer>

#include <cstdint>
#include <functional>
#include <optional>

namespace cvn {

class CvnCardSlider;
class CvnCardToggle;
class DialogText;
class RigCardLines;

// The hardware page: the machine as the program sees it (through
// SystemFacts) on a rig card, and the two performance settings, GPU offload
// and CPU threads, which take effect at the next model load. Until then the
// words under the switch also say what the loaded model runs on, and a GPU
// that stopped mid-reply keeps the switch off for the rest of the run.
//
// Each show, and each confirmed offload change, starts one read of the facts
// on the global thread pool; the result comes back to the main thread and is
// dropped if the page has gone or a newer read has already been shown, since
// reads may finish out of order. The offload switch never writes the setting
// itself: a tap opens a confirmation, and only TURN ON / TURN OFF stores.
// The thread slider writes "hardware.threadCount" on every move. The page
// owns its widgets and the open dialog; settings live in AppSettings.
// Main thread only.
class HardwarePage : public QWidget {
    Q_OBJECT
public:
    // What runs now, beside the machine's facts.
    struct Run {
        bool gpuStopped = false; // a GPU fault stopped offload until the program restarts
        std::optional<int64_t> gpuLayers; // the loaded model's layers on the GPU; none without a model

        friend bool operator==(const Run&, const Run&) = default;
    };

    // `readRun` is called on the thread pool with each read of the facts; by
    // default it asks the engine (LlamaModel).
    explicit HardwarePage(std::function<void()> onBack, QWidget* parent = nullptr,
                          std::function<Run()> readRun = {});

    // Starts one background read; the newest read started wins.
    void refreshRig();
    // The confirm action of the GPU offload dialog.
    void applyPendingMetal(bool value);

    const std::optional<SystemFacts>& facts() const { return m_facts; }
    const Run& run() const { return m_run; }
    std::optional<bool> pendingMetal() const { return m_pendingMetal; }

    SettingsPageFrame* frame() const { return m_frame; }
    QWidget* rigCard() const { return m_rigCard; }
    OneLineText* readingText() const { return m_reading; }
    RigCardLines* rigLines() const { return m_lines; }
    CvnCardToggle* metalToggle() const { return m_toggle; }
    QWidget* metalLine() const { return m_metalLine; }
    DialogText* metalExplanation() const { return m_metalText; }
    OneLineText* threadValue() const { return m_threadValue; }
    CvnCardSlider* threadSlider() const { return m_slider; }
    DialogText* threadsExplanation() const { return m_threadsText; }
    CvnConfirmDialog* metalDialog() const { return m_dialog; }

    // The explanation under the slider for `processors` (at least 1).
    static QString threadsExplanationText(int processors);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void deliver(uint64_t serial, const SystemFacts& facts, const Run& run);
    QString metalExplanationText(bool usable, bool on) const;
    void showSettings();
    int processors() const;
    bool gpuUsable() const;
    void askMetal(bool value);
    void closeDialog();

    uint64_t m_started = 0;
    uint64_t m_shown = 0;
    std::optional<SystemFacts> m_facts;
    std::function<Run()> m_readRun;
    Run m_run;
    std::optional<bool> m_pendingMetal;

    SettingsPageFrame* m_frame;
    QWidget* m_rigCard;
    OneLineText* m_reading;
    RigCardLines* m_lines = nullptr;
    QWidget* m_metalRow;
    QWidget* m_metalLine = nullptr;
    CvnCardToggle* m_toggle;
    DialogText* m_metalText;
    OneLineText* m_threadValue;
    CvnCardSlider* m_slider;
    DialogText* m_threadsText;
    int m_explainedProcessors = 0;
    QPointer<CvnConfirmDialog> m_dialog;
};

} // namespace cvn
