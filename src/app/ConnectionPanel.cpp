#include "app/ConnectionPanel.h"

#include "dialogs/Prompter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace zephra::app {

namespace {
const QString kDefaultPort = QStringLiteral("21");
// Long enough for real host names, user names and pass phrases; the session uses the values as
// typed, only Save is bound to the record's narrower fields (and says so).
constexpr int kFieldLength = 255;
}

ConnectionPanel::ConnectionPanel(const QString& appDir, dialogs::Prompter& prompter, QWidget* parent)
    : QGroupBox(QStringLiteral("Connections"), parent), m_store(appDir), m_tlsStore(appDir), m_prompter(prompter)
{
    setObjectName(QStringLiteral("fraConnections"));

    m_cmbName = new QComboBox(this);
    m_cmbName->setObjectName(QStringLiteral("cmbName"));
    m_cmbName->setEditable(true);
    m_cmbName->setInsertPolicy(QComboBox::NoInsert);
    m_cmbName->lineEdit()->setMaxLength(kFieldLength);
    m_cmbName->setMinimumContentsLength(16);

    auto edit = [this](const char* name, int maxLength) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        e->setMaxLength(maxLength);
        return e;
    };
    m_txtAddr = edit("txtAddr", kFieldLength);
    m_txtUser = edit("txtUser", kFieldLength);
    m_txtPass = edit("txtPass", kFieldLength);
    m_txtPass->setEchoMode(QLineEdit::Password);
    m_txtPass->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // "*"
    // Five digits, so any TCP port can be used to connect; Save refuses what the four-digit
    // record field cannot hold.
    m_txtPort = edit("txtPort", 5);
    m_txtPort->setMaximumWidth(m_txtPort->fontMetrics().horizontalAdvance(QStringLiteral("99999")) + 16);
    m_check1 = new QCheckBox(QStringLiteral("Passive"), this);
    m_check1->setObjectName(QStringLiteral("Check1"));
    // The item data is the TlsMode; the combo is as wide as its longest caption, so none is cut.
    m_cboTls = new QComboBox(this);
    m_cboTls->setObjectName(QStringLiteral("cboTls"));
    m_cboTls->addItem(QStringLiteral("Require TLS"), int(ftp::TlsMode::Require));
    m_cboTls->addItem(QStringLiteral("TLS if the server offers it"), int(ftp::TlsMode::IfOffered));
    m_cboTls->addItem(QStringLiteral("Plain FTP"), int(ftp::TlsMode::Plain));
    m_cboTls->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_cboTls->setToolTip(QStringLiteral("Whether the password, commands and files cross the network encrypted "
                                        "(FTP over TLS). \"If the server offers it\" asks before a plain login."));
    setTlsMode(ProfileTlsStore::kDefault);

    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        return b;
    };
    QPushButton* save = button("Command1", QStringLiteral("Save"));
    QPushButton* remove = button("Command2", QStringLiteral("Remove"));
    m_connect = button("Command3", QStringLiteral("Connect"));
    QPushButton* clear = button("Command15", QStringLiteral("Clear"));
    QPushButton* anon = button("Command16", QStringLiteral("Anonymous"));

    auto label = [this](const char* name, const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        l->setBuddy(buddy);
        return l;
    };
    auto* grid = new QGridLayout(this);
    grid->addWidget(label("lblName", QStringLiteral("Name"), m_cmbName), 0, 0);
    grid->addWidget(m_cmbName, 0, 1, 1, 3);
    grid->addWidget(label("lblAddr", QStringLiteral("Address"), m_txtAddr), 1, 0);
    grid->addWidget(m_txtAddr, 1, 1, 1, 3);
    grid->addWidget(label("lblUser", QStringLiteral("User"), m_txtUser), 2, 0);
    grid->addWidget(m_txtUser, 2, 1);
    grid->addWidget(label("lblPass", QStringLiteral("Pass"), m_txtPass), 2, 2);
    grid->addWidget(m_txtPass, 2, 3);
    grid->addWidget(label("lblPort", QStringLiteral("Port"), m_txtPort), 3, 0);
    grid->addWidget(m_txtPort, 3, 1, Qt::AlignLeft);
    grid->addWidget(m_check1, 3, 2, 1, 2);
    grid->addWidget(label("lblTls", QStringLiteral("TLS"), m_cboTls), 4, 0);
    grid->addWidget(m_cboTls, 4, 1, 1, 3, Qt::AlignLeft);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {save, remove, clear, anon, m_connect})
        buttons->addWidget(b);
    grid->addLayout(buttons, 5, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    connect(m_cmbName, &QComboBox::textActivated, this, &ConnectionPanel::selectProfile);
    connect(save, &QPushButton::clicked, this, &ConnectionPanel::saveProfile);
    connect(remove, &QPushButton::clicked, this, &ConnectionPanel::removeProfile);
    connect(clear, &QPushButton::clicked, this, &ConnectionPanel::clearFields);
    connect(anon, &QPushButton::clicked, this, &ConnectionPanel::anonymous);
}

void ConnectionPanel::info(const QString& text) { m_prompter.information(window(), dialogs::kAppTitle, text); }

void ConnectionPanel::clearForStartUp()
{
    m_cmbName->clear();
    m_cmbName->setEditText(QString());
    m_txtUser->clear();
    m_txtPort->setText(kDefaultPort);
    m_txtPass->clear();
    m_check1->setChecked(false);
    setTlsMode(ProfileTlsStore::kDefault);
}

void ConnectionPanel::loadConnections()
{
    m_cmbName->clear();
    if (const keys::StoreStatus created = m_store.ensureExists(); !created.ok)
        m_prompter.warning(window(), dialogs::kAppTitle, created.message);
    const ProfileStore::Listing listing = m_store.names();
    if (!listing.error.isEmpty())
        m_prompter.warning(window(), dialogs::kAppTitle, listing.error);
    if (listing.names.isEmpty())
        return;
    m_cmbName->addItems(listing.names);
    m_cmbName->setEditText(listing.names.first());
    selectProfile();
}

void ConnectionPanel::selectProfile()
{
    const auto found = m_store.find(m_cmbName->currentText());
    if (!found)
        return;
    m_txtAddr->setText(found->address);
    m_txtUser->setText(found->user);
    m_txtPass->setText(found->password);
    m_txtPort->setText(found->port);
    m_check1->setChecked(found->passive);
    const ProfileTlsStore::Choice tls = m_tlsStore.choice(found->name);
    setTlsMode(tls.mode);
    if (!tls.error.isEmpty())
        m_prompter.warning(window(), dialogs::kAppTitle, tls.error);
}

ftp::TlsMode ConnectionPanel::tlsMode() const { return ftp::TlsMode(m_cboTls->currentData().toInt()); }

void ConnectionPanel::setTlsMode(ftp::TlsMode mode)
{
    m_cboTls->setCurrentIndex(std::max(0, m_cboTls->findData(int(mode))));
}

ConnectionRecord ConnectionPanel::fields() const
{
    ConnectionRecord r;
    r.name = m_cmbName->currentText();
    r.address = m_txtAddr->text();
    r.user = m_txtUser->text();
    r.password = m_txtPass->text();
    r.passive = m_check1->isChecked();
    r.port = m_txtPort->text();
    return r;
}

void ConnectionPanel::saveProfile()
{
    const ConnectionRecord r = fields();
    if (r.name.isEmpty()) {
        info(QStringLiteral("You must define a name for this connection."));
        return;
    }
    if (r.address.isEmpty() || r.user.isEmpty()
        || (r.password.isEmpty() && r.user.toLower() != QStringLiteral("anonymous"))) {
        info(QStringLiteral("Missing Data in Address and/or User and/or Password"));
        return;
    }
    // The record holds four digits: anything else would be stored cut or unusable.
    const bool digits = !r.port.isEmpty()
        && std::all_of(r.port.cbegin(), r.port.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int port = digits ? r.port.toInt() : 0;
    if (port < 1 || port > 9999) {
        info(port > 9999 && port <= 65535
                 ? QStringLiteral("The Port must be a number from 1 to 9999 to be saved in a profile; "
                                  "you can still connect to it.")
                 : QStringLiteral("The Port must be a number from 1 to 9999."));
        return;
    }
    const ConnectionRecord stored = r.cutToWidths();
    if (const QList<ConnectionRecord::Overlong> overlong = r.overlongFields(); !overlong.isEmpty()) {
        QString error;
        if (!stored.write(&error)) {  // a character the file cannot hold is refused before asking
            m_prompter.warning(window(), dialogs::kAppTitle, error);
            return;
        }
        QStringList lines;
        for (const ConnectionRecord::Overlong& o : overlong)
            lines << QStringLiteral("%1: %2 characters, the first %3 are saved").arg(o.field).arg(o.length).arg(o.width);
        if (!m_prompter.question(window(), QStringLiteral("Save Confirm"),
                                 QStringLiteral("These values are longer than a saved connection holds:\n%1\n\n"
                                                "Save the connection with them cut? The fields keep the whole "
                                                "values for connecting now.")
                                     .arg(lines.join(u'\n'))))
            return;
    }
    if (const keys::StoreStatus saved = m_store.save(stored); !saved.ok) {
        m_prompter.warning(window(), dialogs::kAppTitle, saved.message);
        return;
    }
    // Keyed by the name as connect.dat gives it back, so selecting the profile finds it.
    if (const keys::StoreStatus saved = m_tlsStore.setChoice(keys::trimSpaces(stored.name), tlsMode()); !saved.ok) {
        m_prompter.warning(window(), dialogs::kAppTitle, saved.message);
        return;
    }
    // The list shows the saved name at once; the fields keep what they hold.
    const ftp::TlsMode mode = tlsMode();
    loadConnections();
    showFields(r);
    setTlsMode(mode);
    emit statusText(QStringLiteral("Connection %1 saved").arg(r.name));
}

void ConnectionPanel::showFields(const ConnectionRecord& record)
{
    m_cmbName->setEditText(record.name);
    m_txtAddr->setText(record.address);
    m_txtUser->setText(record.user);
    m_txtPass->setText(record.password);
    m_txtPort->setText(record.port);
    m_check1->setChecked(record.passive);
}

void ConnectionPanel::removeProfile()
{
    const QString name = m_cmbName->currentText();
    if (!m_prompter.question(window(), QStringLiteral("Remove Confirm"),
                             QStringLiteral("Are you sure you want to remove the Connection ") + name + u'?'))
        return;
    if (const keys::StoreStatus removed = m_store.remove(name); !removed.ok) {
        m_prompter.warning(window(), dialogs::kAppTitle, removed.message);
        return;
    }
    if (const keys::StoreStatus removed = m_tlsStore.remove(name); !removed.ok)
        m_prompter.warning(window(), dialogs::kAppTitle, removed.message);
    loadConnections();
}

void ConnectionPanel::clearFields()
{
    m_cmbName->setEditText(QString());
    m_txtAddr->clear();
    m_txtUser->clear();
    m_txtPass->clear();
    m_txtPort->setText(kDefaultPort);
    m_check1->setChecked(false);
    setTlsMode(ProfileTlsStore::kDefault);
}

void ConnectionPanel::anonymous()
{
    m_txtUser->setText(QStringLiteral("anonymous"));
    m_txtPass->clear();
}

}  // namespace zephra::app
