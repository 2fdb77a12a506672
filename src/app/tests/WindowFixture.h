#pragma once
// The real main window in a fresh data directory, with a scripted prompter; helpers to find
// controls by objectName and wait (bounded) for things to happen.

#include "app/MainWindow.h"
#include "crypto/Engine.h"
#include "dialogs/ScriptedPrompter.h"
#include "TestFiles.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace zephra::apptest {

using test::readFile;
using test::writeFile;

inline QByteArray padded(const char* text, int width)
{
    QByteArray b(text);
    return b + QByteArray(width - b.size(), ' ');
}

inline QByteArray keyRecord(const char* name, const char* key) { return padded(name, 40) + padded(key, 18); }

inline QByteArray profile(const char* name, const char* addr, const char* user, const char* pass, char passive,
                          const char* port)
{
    return padded(name, 80) + padded(addr, 80) + padded(user, 40) + padded(pass, 20) + QByteArray(1, passive)
        + padded(port, 4);
}

class WindowTest : public ::testing::Test {
protected:
    void TearDown() override { closeWindow(); }

    // Builds the window (start-up runs in the constructor) without showing it.
    app::MainWindow& open()
    {
        engine = std::make_unique<crypto::Engine>(appDir.toStdString());
        window = std::make_unique<app::MainWindow>(app::MainWindow::Deps{appDir, prompter, *engine});
        return *window;
    }

    void closeWindow()
    {
        if (window)
            window->close();
        window.reset();
        engine.reset();
    }

    template <class T = QWidget>
    T* find(const char* name) const
    {
        T* w = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << "no " << name;
        return w;
    }
    QAction* action(const char* name) const { return find<QAction>(name); }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }
    QLineEdit* edit(const char* name) const { return find<QLineEdit>(name); }
    QComboBox* combo(const char* name) const { return find<QComboBox>(name); }

    void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    // Key clicks for plain text; QTest has no key events for other characters, so those are
    // inserted as an input method would.
    static void typeInto(QLineEdit* e, const QString& text)
    {
        e->clear();
        bool ascii = true;
        for (QChar c : text)
            ascii = ascii && c.unicode() < 0x80;
        if (ascii)
            QTest::keyClicks(e, text);
        else
            e->insert(text);
    }
    void type(const char* name, const QString& text) { typeInto(edit(name), text); }
    void typeCombo(const char* name, const QString& text) { typeInto(combo(name)->lineEdit(), text); }
    // Picks a list entry as a user would (fires the combo's activation).
    void pick(const char* name, int index)
    {
        QComboBox* c = combo(name);
        c->setCurrentIndex(index);
        emit c->textActivated(c->itemText(index));
    }

    // The open dialog with this objectName, waited for (bounded).
    template <class T = QDialog>
    T* waitForDialog(const char* name)
    {
        T* found = nullptr;
        (void)QTest::qWaitFor([&] {
            found = window->findChild<T*>(QLatin1String(name));
            return found && found->isVisible();
        }, 5000);
        return found && found->isVisible() ? found : nullptr;
    }

    static void settle()
    {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
    }

    QString file(const char* name) const { return appDir + QLatin1String(name); }
    QString status() const { return find<QWidget>("lbStat")->property("text").toString(); }

    QTemporaryDir home;
    QString appDir = home.path() + u'/';
    dialogs::ScriptedPrompter prompter;
    std::unique_ptr<crypto::Engine> engine;
    std::unique_ptr<app::MainWindow> window;
};

}  // namespace zephra::apptest
