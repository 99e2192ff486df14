#include "desktop/qt_job_owner.h"

#include <QMetaObject>
#include <QWidget>

#include "desktop/file_dialogs.h"
#include "desktop/progress_window.h"

namespace kelvara {

QtJobOwner::QtJobOwner(QWidget* window) : window_(window) {}

QtJobOwner::~QtJobOwner() = default;

void QtJobOwner::post(std::function<void()> task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtJobOwner::setEnabled(bool enabled) {
    if (window_) {
        window_->setEnabled(enabled);
    }
}

void QtJobOwner::openProgress(int total) {
    progress_ = std::make_unique<ProgressWindow>(window_.data(), total);
    connect(progress_.get(), &ProgressWindow::cancelRequested, this, &QtJobOwner::cancelRequested);
    progress_->show();
    emit progressOpened(total);
}

void QtJobOwner::advanceProgress(const std::string& counterText) {
    const QString text = QString::fromStdString(counterText);
    if (progress_) {
        progress_->advance(text);
    }
    emit progressAdvanced(text);
}

void QtJobOwner::closeProgress() {
    progress_.reset();
    emit progressClosed();
}

void QtJobOwner::entryStarted(const std::string& fullPath) {
    if (progress_) {
        progress_->showFile(pathToQString(fullPath));
    }
}

void QtJobOwner::runFinished() { emit finished(); }

void QtJobOwner::dropTopmost() {
    if (!window_) {
        return;
    }
    if (window_->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        window_->setWindowFlag(Qt::WindowStaysOnTopHint, false);
    }
    window_->show();  // changing the flags hides a window
}

}  // namespace kelvara
