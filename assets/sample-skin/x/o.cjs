/* A sample skin: a Qt style sheet. Copy the folder "x" beside the program to use it. */

QWidget {
    color: #1d2733;
}

QGroupBox {
    border: 1px solid #8ea2b8;
    border-radius: 4px;
    margin-top: 9px;
    padding-top: 4px;
}

QGroupBox::title {
    subcontrol-origin: margin;
    left: 8px;
    padding: 0 3px;
}

QLineEdit {
    border: 1px solid #8ea2b8;
    border-radius: 3px;
    background: #ffffff;
    padding: 1px 3px;
}

QPushButton {
    border: 1px solid #5f7894;
    border-radius: 4px;
    background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #ffffff, stop: 1 #dfe7f0);
}

QPushButton:hover {
    background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #ffffff, stop: 1 #cbd9e8);
}

QPushButton:pressed {
    background: #c2d2e4;
}
