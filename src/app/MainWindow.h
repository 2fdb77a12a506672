#pragma once

#include <QMainWindow>

namespace zephra::app {

class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
};

}  // namespace zephra::app
