#include "ui/StyleSheet.h"

namespace tarvik {

QString launcherStyleSheet()
{
    return QStringLiteral(
        "QWidget { background: #171a20; color: #edf0f5; font-family: 'Segoe UI'; font-size: 14px; "
        "}\n"
        "QLabel#title { font-size: 32px; font-weight: 700; }\n"
        "QLabel#heading { font-size: 23px; font-weight: 700; }\n"
        "QLabel#eyebrow { color: #91e7c4; font-size: 12px; font-weight: 700; letter-spacing: 2px; "
        "}\n"
        "QLabel#muted { color: #a6adbc; }\n"
        "QLabel#message { background: #322b26; color: #ffdaaa; border: 1px solid #6c523b; "
        "border-radius: 8px; padding: 12px; }\n"
        "QFrame#card { background: #20242d; border: 1px solid #343a46; border-radius: 12px; }\n"
        "QFrame#card QLabel { background: transparent; }\n"
        "QPushButton { background: #2a303b; border: 1px solid #414958; border-radius: 7px; "
        "padding: 10px 17px; font-weight: 600; }\n"
        "QPushButton:hover { background: #353f4c; border-color: #8592aa; }\n"
        "QPushButton:focus { border: 2px solid #aa99f4; }\n"
        "QPushButton:disabled { background: #222630; color: #737c8d; border-color: #303641; }\n"
        "QPushButton#primary { background: #8ce3bd; border-color: #8ce3bd; color: #11251c; "
        "font-weight: 700; }\n"
        "QPushButton#primary:hover { background: #a8f0d0; }\n"
        "QPushButton#primary:disabled { background: #32463f; color: #879b92; }\n"
        "QLineEdit, QSpinBox, QComboBox { background: #20242d; border: 1px solid #414958; "
        "border-radius: 6px; padding: 9px; selection-background-color: #6d589e; }\n"
        "QLineEdit:focus, QSpinBox:focus, QComboBox:focus { border-color: #a998ed; }\n"
        "QTabWidget::pane { border: 0; }\n"
        "QTabBar::tab { padding: 13px 22px; color: #a6adbc; border-bottom: 2px solid transparent; "
        "}\n"
        "QTabBar::tab:selected { color: #a6eed2; border-color: #91e7c4; }\n"
        "QTabBar::tab:hover { color: white; }\n"
        "QListWidget { background: #20242d; border: 1px solid #343a46; border-radius: 9px; "
        "outline: none; padding: 6px; }\n"
        "QListWidget::item { padding: 16px; border-radius: 6px; margin-bottom: 4px; }\n"
        "QListWidget::item:selected { background: #36493f; color: #aeefd2; }\n"
        "QScrollArea { border: none; }\n"
        "QCheckBox { spacing: 12px; }\n"
        "QCheckBox::indicator { width: 20px; height: 20px; }\n"
        "QProgressBar { background: #292f39; border: 0; border-radius: 3px; height: 6px; "
        "text-align: center; }\n"
        "QProgressBar::chunk { background: #91e7c4; border-radius: 3px; }\n"
        "QToolTip { background: #333a47; color: white; border: 1px solid #596375; }\n");
}

} // namespace tarvik
