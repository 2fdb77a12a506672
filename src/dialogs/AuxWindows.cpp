#include "dialogs/AuxWindows.h"

#include "dialogs/HelpPages.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace zephra::dialogs {

frmBrowser::frmBrowser(const QString& appDir, const QString& page, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmBrowser"));
    setWindowTitle(helpPageCaption(page));
    m_viewer = new QTextBrowser(this);
    m_viewer->setObjectName(QStringLiteral("WebBrowser1"));
    m_viewer->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_viewer);
    resize(720, 560);

    const QString path = appDir + page;
    if (QFileInfo(path).isFile()) {
        m_viewer->setSource(QUrl::fromLocalFile(path));
    } else {
        m_viewer->setHtml(QStringLiteral("<h2>Page not found</h2><p>The help page <b>%1</b> could not be found.</p>")
                              .arg(path.toHtmlEscaped()));
    }
}

frmAbout::frmAbout(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Zephra Encryption FTP 5"));
    auto* layout = new QVBoxLayout(this);
    auto addLabel = [&](const char* name, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QLatin1String(name));
        label->setWordWrap(true);
        layout->addWidget(label);
        return label;
    };
    QLabel* title = addLabel("Label1", QStringLiteral("Zephra Encryption FTP 5"));
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(16);
    font.setBold(true);
    title->setFont(font);
    addLabel("Label2", QStringLiteral("Copyright \u00A9 2005\u20132026 the ZephraFTP developers. All rights reserved."));
    addLabel("Label3", QStringLiteral("Written by the ZephraFTP developers."));
    addLabel("Label4", QStringLiteral("ZephraFTP encrypts files with a key shared between the people who exchange them. "
                                      "A file encrypted with a lost key cannot be recovered: keep a copy of your key "
                                      "file in a safe place. Encryption software may be subject to the laws of your "
                                      "country on its use and export."));
    auto* done = new QPushButton(QStringLiteral("Done"), this);
    done->setObjectName(QStringLiteral("Command1"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(done, 0, Qt::AlignRight);
    // The wrapped paragraphs know their height only for a width: fix the width, then take the
    // height the layout needs at it (sized the other way round, the last paragraph was cut off).
    setFixedWidth(420);
    setFixedHeight(heightForWidth(420));
}

const QString frmNotice::kNoticeText = QStringLiteral(
    "This is version 5 of FTP first released 9 June, 2005.  If you are planning on communicating with FTP "
    "Servers using version 4, notify them that they need to upgrade to this version and decrypt all files with "
    "the old version and reencrypt them with the new version and also contact all users to get the upgrade.  "
    "Then they can send the key for the new ftp server data.  Version 4 is still available on the website for "
    "those not wishing to change.");

frmNotice::frmNotice(const QString& appDir, QWidget* parent) : QDialog(parent), m_appDir(appDir)
{
    setObjectName(QStringLiteral("frmNotice"));
    setWindowTitle(QStringLiteral("Important Notice"));
    auto* layout = new QVBoxLayout(this);
    auto* text = new QPlainTextEdit(kNoticeText, this);
    text->setObjectName(QStringLiteral("Text1"));
    text->setReadOnly(true);
    layout->addWidget(text);
    m_check = new QCheckBox(QStringLiteral("Do not show this again"), this);
    m_check->setObjectName(QStringLiteral("Check1"));
    layout->addWidget(m_check);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(460, 230);
}

void frmNotice::done(int result)
{
    if (m_check->isChecked())
        (void)writeNoticeMarker(m_appDir);  // not written: the notice simply returns next run
    QDialog::done(result);
}

}  // namespace zephra::dialogs
