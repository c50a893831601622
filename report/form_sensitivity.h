#pragma once

// What the workshop's form error costs a stereo user: the prism of a
// "prism.json" with a smooth low-order form error of a few micrometres RMS
// added to one surface (the tolerance module's Legendre shapes, drawn with
// fixed seeds), its rays traced again and the pair recalibrated with OpenCV
// as a user would. Reported per surface and amplitude, and as the calibrated
// residual per micrometre of form error.

#include <QByteArray>
#include <QString>

#include <vector>

namespace report {

struct FormSensitivityOptions {
    std::vector<int> seeds{1, 2, 3};
    std::vector<double> amplitudesUm{0.5, 2.0};  // RMS form error over the surface's rectangle
    int threadCount = 0;                         // 0: every hardware thread; results do not depend on it
};

// One surface at one amplitude: the recalibrated residual RMS of each half,
// averaged over the seeds, and the part of it the form error adds,
// sqrt(r^2 - r0^2) averaged over the seeds and halves, per micrometre.
struct FormSensitivityRow {
    QString surface;  // "entrance" or "exit"
    double amplitudeUm = 0.0;
    double residualLeftPx = 0.0;
    double residualRightPx = 0.0;
    double addedPxPerUm = 0.0;
    int failedTrials = 0;  // seeds whose made camera did not trace or calibrate
};

struct FormSensitivity {
    double nominalLeftPx = 0.0;  // the unperturbed prism's recalibrated residual RMS
    double nominalRightPx = 0.0;
    std::vector<int> seeds;
    std::vector<FormSensitivityRow> rows;  // entrance then exit, amplitudes rising
    double seconds = 0.0;
};

// For the prism file (or a folder's "prism.json"); false with a one-line
// message when it cannot be read or its nominal prism does not calibrate.
bool formSensitivity(const QString& prismPath, const FormSensitivityOptions& options, FormSensitivity* result,
                     QString* error);

// The "sensitivity" object of "verification.json".
QByteArray formSensitivityJson(const FormSensitivity& sensitivity);
// Inserts it as the key "sensitivity" into a verification JSON object.
QByteArray withFormSensitivity(const QByteArray& verificationJson, const FormSensitivity& sensitivity);
// A few lines for the terminal.
QString formSensitivityText(const FormSensitivity& sensitivity);

}  // namespace report
