#pragma once

#include <memory>

#include <QDialog>
#include <QString>

namespace Ui {
class ProgressWindow;
}

namespace kelvara {

// The small window that counts finished files against the total during a
// run. It has no close button and cannot be closed by the user (neither the
// close request nor Escape does anything); the run closes it. Its Cancel
// button asks the run to stop starting entries.
class ProgressWindow final : public QDialog {
    Q_OBJECT

public:
    // Placed at the top-left of the owner's client area, not centred.
    ProgressWindow(QWidget* owner, int total);
    ~ProgressWindow() override;

    // Shows the counter text and moves the bar one step.
    void advance(const QString& counterText);

    QString counterText() const;
    int position() const;
    int total() const;

signals:
    void cancelRequested();

public slots:
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::ProgressWindow> ui_;
};

}  // namespace kelvara
