#include "desktop/progress_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

#include "ui_progress_window.h"

namespace kelvara {

ProgressWindow::ProgressWindow(QWidget* owner, int total)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      ui_(std::make_unique<Ui::ProgressWindow>()) {
    ui_->setupUi(this);
    ui_->progressBar->setRange(0, total);
    ui_->progressBar->setValue(0);
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] {
        ui_->cancelButton->setEnabled(false);  // once is enough: the run is stopping
        emit cancelRequested();
    });
    setFixedSize(sizeHint());
    // The owner is disabled for the run, which would grey this window out
    // too; a window (unlike a plain child) can be enabled on its own.
    setEnabled(true);
    if (owner != nullptr) {
        const auto* main = qobject_cast<const QMainWindow*>(owner);
        const QWidget* client = main != nullptr && main->centralWidget() != nullptr
                                    ? main->centralWidget()
                                    : owner;
        move(client->mapToGlobal(QPoint(0, 0)));
    }
    clock_.start();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::advance(const QString& counterText) {
    ui_->counterText->setText(counterText);
    const int done = ui_->progressBar->value() + 1;
    ui_->progressBar->setValue(done);
    // A second of work is the least to judge the pace by.
    const qint64 elapsed = clock_.elapsed();
    const int left = ui_->progressBar->maximum() - done;
    if (left <= 0 || elapsed < 1000) {
        ui_->timeLeftText->setText(left <= 0 ? QString() : ui_->timeLeftText->text());
        return;
    }
    const qint64 seconds = (elapsed * left / done + 999) / 1000;
    ui_->timeLeftText->setText(tr("About %1 left").arg(formatDuration(seconds)));
}

void ProgressWindow::showFile(const QString& path) {
    file_ = path;
    QLabel* label = ui_->fileText;
    label->setText(label->fontMetrics().elidedText(path, Qt::ElideMiddle, label->width()));
    label->setToolTip(path);
}

QString ProgressWindow::timeLeftText() const { return ui_->timeLeftText->text(); }

QString formatDuration(qint64 seconds) {
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds >= 3600) {
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(two(seconds / 60 % 60), two(seconds % 60));
    }
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
}

QString ProgressWindow::counterText() const { return ui_->counterText->text(); }
int ProgressWindow::position() const { return ui_->progressBar->value(); }
int ProgressWindow::total() const { return ui_->progressBar->maximum(); }

void ProgressWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace kelvara
