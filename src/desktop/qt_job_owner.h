#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QPointer>
#include <QString>

#include "run/conversion_job.h"

class QWidget;

namespace kelvara {

class ProgressWindow;

// The conversion job's owner in the desktop application: everything the
// run hands over is queued to the GUI thread and carried out there in the
// order it was posted, so the list, the window and the progress change only
// there; no thread of the run waits for the GUI.
class QtJobOwner final : public QObject, public JobOwner {
    Q_OBJECT

public:
    // Lives on the thread that creates it, which must be the GUI thread.
    explicit QtJobOwner(QWidget* window);
    ~QtJobOwner() override;

    void post(std::function<void()> task) override;
    void setEnabled(bool enabled) override;
    void openProgress(int total) override;
    void advanceProgress(const std::string& counterText) override;
    void closeProgress() override;
    void dropTopmost() override;
    void entryStarted(const std::string& fullPath) override;
    void runFinished() override;

    // The progress window while a run shows it, else null.
    ProgressWindow* progressWindow() const { return progress_.get(); }

signals:
    // Emitted on the GUI thread after the window has changed.
    void progressOpened(int total);
    void progressAdvanced(const QString& counterText);
    void progressClosed();
    // The user asked the run to stop (the progress window's Cancel).
    void cancelRequested();
    // The run is over and the window enabled again.
    void finished();

private:
    QPointer<QWidget> window_;
    std::unique_ptr<ProgressWindow> progress_;
};

}  // namespace kelvara
