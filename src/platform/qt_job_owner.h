#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QPointer>
#include <QString>

#include "conversion/conversion_job.h"

class QWidget;

namespace kelvara {

class ProgressWindow;

// The conversion job's owner in the desktop application: everything the
// worker asks for is carried out on the GUI thread while the worker waits
// (a blocking queued call), so the list, the window and the progress change
// only there and strictly in the order of the run.
class QtJobOwner final : public QObject, public JobOwner {
    Q_OBJECT

public:
    // Lives on the thread that creates it, which must be the GUI thread.
    explicit QtJobOwner(QWidget* window);
    ~QtJobOwner() override;

    void runOnOwnerThread(const std::function<void()>& task) override;
    void setEnabled(bool enabled) override;
    void openProgress(int total) override;
    void advanceProgress(const std::string& counterText) override;
    void closeProgress() override;
    void dropTopmost() override;

    // The progress window while a run shows it, else null.
    ProgressWindow* progressWindow() const { return progress_.get(); }

signals:
    // Emitted on the GUI thread after the window has changed.
    void progressOpened(int total);
    void progressAdvanced(const QString& counterText);
    void progressClosed();

private:
    QPointer<QWidget> window_;
    std::unique_ptr<ProgressWindow> progress_;
};

}  // namespace kelvara
