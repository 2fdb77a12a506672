#include "keys/frmPathSelect.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QVBoxLayout>

namespace zephra::keys {

namespace {
constexpr int kPathRole = Qt::UserRole + 1;
}

frmPathSelect::frmPathSelect(Mode mode, const QString& startDir, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPathSelect"));
    setWindowTitle(mode == Mode::Transfer ? QStringLiteral("Select Path to Transfer Key File To")
                                          : QStringLiteral("Select Path to Restore Key File From"));

    m_drives = new QComboBox(this);
    m_drives->setObjectName(QStringLiteral("Drive1"));
    QStringList roots;
    for (const QFileInfo& drive : QDir::drives())
        roots.append(drive.absoluteFilePath());
    // Removable media are mounted below the root on most systems: offer them as drives too.
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (volume.isValid() && volume.isReady() && !roots.contains(root)
            && (root.startsWith(QStringLiteral("/media/")) || root.startsWith(QStringLiteral("/run/media/"))
                || root.startsWith(QStringLiteral("/mnt/")) || root.startsWith(QStringLiteral("/Volumes/"))))
            roots.append(root);
    }
    roots.append(QDir::homePath());
    for (const QString& root : roots)
        m_drives->addItem(QDir::toNativeSeparators(root), root);

    m_pathLabel = new QLabel(this);
    m_pathLabel->setObjectName(QStringLiteral("lblPath"));
    m_pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_dirs = new QListWidget(this);
    m_dirs->setObjectName(QStringLiteral("Dir1"));

    auto* set = new QPushButton(QStringLiteral("Set"), this);
    set->setObjectName(QStringLiteral("Command1"));
    set->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("Command2"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_drives);
    layout->addWidget(m_pathLabel);
    layout->addWidget(m_dirs, 1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(set);
    row->addWidget(cancel);
    layout->addLayout(row);
    resize(420, 380);

    setCurrentDirectory(startDir);
    m_keyPath = withSeparator(m_current);

    connect(m_dirs, &QListWidget::itemActivated, this, &frmPathSelect::enter);
    connect(m_drives, &QComboBox::activated, this, &frmPathSelect::chooseDrive);
    connect(set, &QPushButton::clicked, this, [this] {
        m_keyPath = withSeparator(m_current);
        accept();
    });
    // The close box cancels too: copying into whatever directory happened to be shown is
    // not what a user closing the window asks for.
    connect(this, &QDialog::rejected, this, [this] { m_keyPath.clear(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString frmPathSelect::withSeparator(const QString& dir)
{
    const QString native = QDir::toNativeSeparators(dir);
    return native.endsWith(QDir::separator()) ? native : native + QDir::separator();
}

void frmPathSelect::setCurrentDirectory(const QString& dir)
{
    QDir d(dir);
    if (!d.exists())
        d = QDir(QDir::homePath());
    m_current = d.absolutePath();
    m_pathLabel->setText(QDir::toNativeSeparators(m_current));
    m_dirs->clear();
    if (!d.isRoot()) {
        auto* up = new QListWidgetItem(QStringLiteral(".."), m_dirs);
        QDir parent = d;
        parent.cdUp();
        up->setData(kPathRole, parent.absolutePath());
    }
    for (const QFileInfo& sub : d.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
        auto* item = new QListWidgetItem(sub.fileName(), m_dirs);
        item->setData(kPathRole, sub.absoluteFilePath());
    }
}

void frmPathSelect::enter(QListWidgetItem* item)
{
    if (item)
        setCurrentDirectory(item->data(kPathRole).toString());
}

void frmPathSelect::chooseDrive(int index)
{
    setCurrentDirectory(m_drives->itemData(index).toString());
}

}  // namespace zephra::keys
