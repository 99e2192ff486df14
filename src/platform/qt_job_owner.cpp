#include "platform/qt_job_owner.h"

#include <QMetaObject>
#include <QThread>
#include <QWidget>

#include "platform/progress_window.h"

namespace kelvara {

QtJobOwner::QtJobOwner(QWidget* window) : window_(window) {}

QtJobOwner::~QtJobOwner() = default;

void QtJobOwner::runOnOwnerThread(const std::function<void()>& task) {
    if (QThread::currentThread() == thread()) {
        task();  // a blocking call into our own thread would wait for itself
        return;
    }
    QMetaObject::invokeMethod(this, [&task] { task(); }, Qt::BlockingQueuedConnection);
}

void QtJobOwner::setEnabled(bool enabled) {
    runOnOwnerThread([this, enabled] {
        if (window_) {
            window_->setEnabled(enabled);
        }
    });
}

void QtJobOwner::openProgress(int total) {
    runOnOwnerThread([this, total] {
        progress_ = std::make_unique<ProgressWindow>(window_.data(), total);
        progress_->show();
        emit progressOpened(total);
    });
}

void QtJobOwner::advanceProgress(const std::string& counterText) {
    runOnOwnerThread([this, &counterText] {
        const QString text = QString::fromStdString(counterText);
        if (progress_) {
            progress_->advance(text);
        }
        emit progressAdvanced(text);
    });
}

void QtJobOwner::closeProgress() {
    runOnOwnerThread([this] {
        progress_.reset();
        emit progressClosed();
    });
}

void QtJobOwner::dropTopmost() {
    runOnOwnerThread([this] {
        if (!window_) {
            return;
        }
        if (window_->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
            window_->setWindowFlag(Qt::WindowStaysOnTopHint, false);
        }
        window_->show();  // changing the flags hides a window
    });
}

}  // namespace kelvara
