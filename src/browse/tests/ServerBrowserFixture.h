#pragma once
// A shown server browser with its two views found by objectName.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThreadPool>
#include <QTreeView>

#include "TestUtil.h"
#include "browse/ServerBrowser.h"

namespace zephra::browse::testing {

class ServerBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        browser.resize(800, 500);
        browser.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&browser));
        tree = child<QTreeView>(&browser, "TView1");
        list = child<QTreeView>(&browser, "ListView2");
        ASSERT_TRUE(tree && list);
    }

    // Waits (bounded) until every listing given to a worker is parsed and its result handed
    // back, shown or dropped.
    static void drainWorkers()
    {
        ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(20000));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    ServerBrowser browser;
    QTreeView* tree = nullptr;
    QTreeView* list = nullptr;
};

}  // namespace zephra::browse::testing
