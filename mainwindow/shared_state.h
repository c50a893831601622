#pragma once

#include <QString>

// State that outlives a single action. The screen size is read once at
// start-up, before any window exists; every window sizes itself from it.
extern int screenWidth;
extern int screenHeight;
// The text of the last fit report shown in the main window.
extern QString fitReportText;
