#include "app/MainWindow.h"

namespace zephra::app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Zephra Encryption FTP 5"));
    resize(1000, 700);
}

}  // namespace zephra::app
