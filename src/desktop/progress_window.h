#pragma once

#include <memory>

#include <QDialog>
#include <QElapsedTimer>
#include <QString>

namespace Ui {
class ProgressWindow;
}

namespace kelvara {

// The small window that counts finished files against the total during a
// run, names the file being converted and, once it can tell, the time left.
// It has no close button and cannot be closed by the user (neither the
// close request nor Escape does anything); the run closes it. Its Cancel
// button asks the run to stop starting entries.
class ProgressWindow final : public QDialog {
    Q_OBJECT

public:
    // Placed at the top-left of the owner's client area, not centred.
    ProgressWindow(QWidget* owner, int total);
    ~ProgressWindow() override;

    // Shows the counter text, moves the bar one step and estimates the time
    // left from the pace so far.
    void advance(const QString& counterText);
    // The file now being converted (shortened in its middle to fit).
    void showFile(const QString& path);

    QString counterText() const;
    QString fileText() const { return file_; }
    QString timeLeftText() const;
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
    QElapsedTimer clock_;
    QString file_;
};

// "m:ss", or "h:mm:ss" from an hour on.
QString formatDuration(qint64 seconds);

}  // namespace kelvara
