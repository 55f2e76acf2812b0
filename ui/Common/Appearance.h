#pragma once

class QApplication;
class QFont;

// The windows' font: 宋体 at 12 pixels, or the closest Song face installed.
QFont WindowFont();

// Sets the windows' font and loads Qt's own Chinese texts for standard buttons.
void ApplyAppearance(QApplication& app);
