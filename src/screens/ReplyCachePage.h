#pragma once

#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnInputDialog.h"

#include <QPointer>

#include <cstdint>
#include <functional>

namespace cvn {

class CvnButton;

// The reply cache's page: how much of its memory and disk budgets the kept
// decoded chats hold, the two budgets, and the control that empties both.
// The page writes only the "promptCache.*" settings; whoever owns the cache
// follows them, hands its usage back through setUsage() and empties it on
// onClear. Main thread only.
class ReplyCachePage : public QWidget {
    Q_OBJECT
public:
    // The largest budget either dialog takes, in MiB: 1 TiB.
    static constexpr int kMaxBudgetMb = 1024 * 1024;

    ReplyCachePage(std::function<void()> onBack, std::function<void()> onClear, QWidget* parent = nullptr);

    void setUsage(int64_t memoryBytes, int64_t diskBytes);

    // The budget dialogs' save: a whole number from 0 to kMaxBudgetMb is
    // stored and closes the dialog; anything else leaves it open.
    bool saveMemoryBudget(const QString& text);
    bool saveDiskBudget(const QString& text);

    // "312 MiB of 2,048 MiB", or "Off" for a budget of 0.
    static QString usageText(int64_t usedBytes, int budgetMb);

    SettingsPageFrame* frame() const { return m_frame; }
    OneLineText* memoryValue() const { return m_memory; }
    OneLineText* diskValue() const { return m_disk; }
    CvnButton* changeMemoryButton() const { return m_changeMemory; }
    CvnButton* changeDiskButton() const { return m_changeDisk; }
    CvnButton* clearButton() const { return m_clear; }
    CvnInputDialog* budgetDialog() const { return m_budgetDialog; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showUsage();
    void askBudget(const QString& title, const QString& key);
    void closeBudgetDialog();

    SettingsPageFrame* m_frame;
    OneLineText* m_memory;
    OneLineText* m_disk;
    CvnButton* m_changeMemory;
    CvnButton* m_changeDisk;
    CvnButton* m_clear;
    QPointer<CvnInputDialog> m_budgetDialog;
    int64_t m_memoryBytes = 0;
    int64_t m_diskBytes = 0;
};

} // namespace cvn
