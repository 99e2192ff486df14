#include "desktop/progress_window.h"

#include <QCloseEvent>
#include <QMainWindow>
#include <QPushButton>

#include "run/conversion_job.h"
#include "ui_progress_window.h"

namespace kelvara {

ProgressWindow::ProgressWindow(QWidget* owner, int total)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      ui_(std::make_unique<Ui::ProgressWindow>()) {
    ui_->setupUi(this);
    ui_->counterText->setText(QString::fromUtf8(kProgressWaitText.data(),
                                                static_cast<qsizetype>(kProgressWaitText.size())));
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
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::advance(const QString& counterText) {
    ui_->counterText->setText(counterText);
    ui_->progressBar->setValue(ui_->progressBar->value() + 1);
}

QString ProgressWindow::counterText() const { return ui_->counterText->text(); }
int ProgressWindow::position() const { return ui_->progressBar->value(); }
int ProgressWindow::total() const { return ui_->progressBar->maximum(); }

void ProgressWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace kelvara
