#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
struct PanelParameters;

// A window of its own (not modal) with the error map and the table of one
// verification of the design and fit in the working directory.
class VerificationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit VerificationWindow(QWidget* parent = nullptr);

    // Verifies the design in `directory` and, when `withFit`, the fit there;
    // the panel's values give the geometry when "design.json" is missing.
    void verifyDirectory(const QString& directory, bool withFit, const PanelParameters& panel);

private:
    QLabel* map = nullptr;
    QPlainTextEdit* table = nullptr;
};
