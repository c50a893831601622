#pragma once

#include <QStringList>

// harvenlotek-cli simulate: the simulated capture through the prism of a
// result directory, rectified with its calibration file, matched by OpenCV's
// StereoSGBM and compared with the scene's depth (simulate/). `arguments`
// are those after the program name, starting with "simulate". Returns the
// exit code; prints the summary (or the error line) itself.
int runSimulateCommand(const QStringList& arguments);
