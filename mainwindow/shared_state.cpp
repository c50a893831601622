#include "mainwindow/shared_state.h"

int screenWidth = 0;
int screenHeight = 0;
QString fitReportText;
