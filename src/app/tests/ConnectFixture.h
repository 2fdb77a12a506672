#pragma once
// The main window connected to a server through its own fields and Connect button, with helpers
// for the server tree and list, the transfer controls and the messages shown.

#include "WindowFixture.h"

#include "app/FileCommands.h"
#include "app/SessionController.h"
#include "browse/LocalBrowser.h"
#include "browse/ServerBrowser.h"
#include "ftp/Connection.h"
#include "ftp/Tls.h"

#include <QCheckBox>
#include <QItemSelectionModel>
#include <QTcpServer>
#include <QTreeView>

namespace zephra::apptest {

inline QStringList column0(QTreeView* view)
{
    QStringList names;
    QAbstractItemModel* model = view->model();
    for (int r = 0; r < model->rowCount(); ++r)
        names.append(model->index(r, 0).data().toString());
    return names;
}

// A port on 127.0.0.1 where nothing listens.
inline quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

class ConnectTest : public WindowTest {
protected:
    void SetUp() override
    {
        writeFile(file("opt.dne"), "Done\r\n");  // no notice over the window
    }

    void showWindow()
    {
        open().show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // Plain FTP unless told: the test servers speak plain FTP unless set up for TLS, and the
    // window's default ("if the server offers it") asks before a plain login.
    void fill(const QString& host, quint16 port, const QString& user, const QString& password, bool passive,
              ftp::TlsMode tls = ftp::TlsMode::Plain)
    {
        typeCombo("cmbName", QStringLiteral("Local test"));
        type("txtAddr", host);
        type("txtPort", QString::number(port));
        type("txtUser", user);
        type("txtPass", password);
        find<QCheckBox>("Check1")->setChecked(passive);
        QComboBox* choice = combo("cboTls");
        choice->setCurrentIndex(choice->findData(int(tls)));
    }

    app::SessionController* controller() const { return window->sessionController(); }
    QTreeView* tree() const { return find<QTreeView>("TView1"); }
    QTreeView* list() const { return find<QTreeView>("ListView2"); }
    QStringList treeNames() const { return column0(tree()); }
    QStringList listNames() const { return column0(list()); }
    QString caption() const { return button("Command3")->text(); }

    // Clicks Command3 and waits (bounded) until the session has settled either way.
    bool clickAndSettle(int timeoutMs = 20000)
    {
        click("Command3");
        return QTest::qWaitFor([this] { return !controller()->isBusy(); }, timeoutMs);
    }

    // Waits (bounded) until no command, listing or connect step runs.
    bool settled(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this] {
            return !window->fileCommands()->isRunning() && !controller()->isBusy();
        }, timeoutMs);
    }

    // Selects exactly these rows (by their shown name) of ListView1 or ListView2.
    void select(const char* listName, const QStringList& wanted)
    {
        if (QByteArrayView(listName) == "ListView1")
            window->localBrowser()->loadLocalFiles();
        auto* view = find<QTreeView>(listName);
        // Prompts follow the view's order, and a server lists in its own (pyftpdlib's MLSD
        // is not sorted): sort by name, so answers meet the files they were meant for.
        view->sortByColumn(0, Qt::AscendingOrder);
        view->clearSelection();
        for (int r = 0; r < view->model()->rowCount(); ++r) {
            const QModelIndex index = view->model()->index(r, 0);
            if (wanted.contains(index.data().toString()))
                view->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        ASSERT_EQ(view->selectionModel()->selectedRows().size(), wanted.size()) << listName;
    }

    void clickNode(const QString& name)
    {
        const int row = int(treeNames().indexOf(name));
        ASSERT_GE(row, 0) << name.toStdString();
        const QModelIndex index = tree()->model()->index(row, 0);
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, tree()->visualRect(index).center());
        ASSERT_TRUE(QTest::qWaitFor([this] { return !controller()->isBusy(); }, 20000));
    }

    // The four plain and four encrypted transfer controls, in that order.
    QList<bool> transferControls() const
    {
        return {button("Command11")->isEnabled(), button("Command13")->isEnabled(),
                action("LocalFileSendNormal")->isEnabled(), action("ServerFilesSendNormal")->isEnabled(),
                button("Command12")->isEnabled(), button("Command14")->isEnabled(),
                action("LocalFilesSendEncrypted")->isEnabled(), action("ServerFilesSendEncrypted")->isEnabled()};
    }
    static QList<bool> allOff() { return QList<bool>(8, false); }
    static QList<bool> plainOn() { return {true, true, true, true, false, false, false, false}; }

    QString promptTexts() const
    {
        QStringList texts;
        for (const auto& a : prompter.asked())
            texts.append(a.text);
        return texts.join(QStringLiteral(" | "));
    }
};

}  // namespace zephra::apptest
