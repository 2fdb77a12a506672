#pragma once
// Small helpers shared by the browser tests.

#include "TestFiles.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QWidget>

#include <functional>
#include <memory>

namespace zephra::browse::testing {

// Answers the next `count` modal dialogs of type T as each shows (polled every 10 ms, at most
// 5 s in all); `answer` gets the dialog and its number from 0 and must close it. The returned
// counter says how many were answered.
template <class T>
std::shared_ptr<int> whenModalsShow(int count, std::function<void(T*, int)> answer)
{
    auto done = std::make_shared<int>(0);
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, done, count, answer] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            dialog && dialog->isVisible()) {
            const int n = (*done)++;
            if (*done == count) {
                timer->stop();
                timer->deleteLater();
            }
            answer(dialog, n);
            return;
        }
        if (clock->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return done;
}

// The same for one dialog; the flag is true once it was answered.
template <class T>
std::shared_ptr<bool> whenModalShows(std::function<void(T*)> answer)
{
    auto flag = std::make_shared<bool>(false);
    whenModalsShow<T>(1, [flag, answer](T* dialog, int) {
        *flag = true;
        answer(dialog);
    });
    return flag;
}

using test::readFile;
using test::writeFile;

// The first column's texts, top to bottom.
inline QStringList column0(const QAbstractItemModel* model)
{
    QStringList out;
    for (int r = 0; r < model->rowCount(); ++r)
        out << model->index(r, 0).data().toString();
    return out;
}

// Clicks the middle of a column's header, as a user sorting by it.
inline void clickHeader(QTreeView* view, int section)
{
    QHeaderView* header = view->header();
    const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
}

template <class T>
T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace zephra::browse::testing
