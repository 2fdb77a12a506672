#pragma once
// The help viewer (frmBrowser), the About box (frmAbout) and the version notice (frmNotice).

#include <QDialog>

class QCheckBox;
class QPlainTextEdit;
class QTextBrowser;

namespace zephra::dialogs {

// Shows appDir + page in a QTextBrowser ("WebBrowser1") that fills the window.
class frmBrowser final : public QDialog {
    Q_OBJECT
public:
    frmBrowser(const QString& appDir, const QString& page, QWidget* parent = nullptr);
    QTextBrowser* viewer() const { return m_viewer; }

private:
    QTextBrowser* m_viewer = nullptr;
};

class frmAbout final : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);
};

class frmNotice final : public QDialog {
    Q_OBJECT
public:
    static const QString kNoticeText;

    frmNotice(const QString& appDir, QWidget* parent = nullptr);
    // Every way of closing ends here; a ticked Check1 writes the marker.
    void done(int result) override;

private:
    QString m_appDir;
    QCheckBox* m_check = nullptr;
};

}  // namespace zephra::dialogs
