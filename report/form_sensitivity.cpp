#include "report/form_sensitivity.h"

#include "core/parallel_for.h"
#include "textio/json_writer.h"
#include "tolerance/tolerance_trial.h"

#include <QElapsedTimer>

#include <cmath>
#include <limits>

namespace report {

namespace {

// Only the form error of one surface, of the given RMS, in the shape the
// tolerance module draws for `seed`.
tolerance::Perturbation formOnly(bool entrance, double amplitudeUm, int seed)
{
    const tolerance::Perturbation drawn = tolerance::drawPerturbation(tolerance::Tolerances(), std::uint64_t(seed), 0);
    tolerance::Perturbation p;
    const tolerance::ToleranceKind kind =
        entrance ? tolerance::ToleranceKind::FormEntrance : tolerance::ToleranceKind::FormExit;
    tolerance::FormError& form = entrance ? p.entrance : p.exit;
    form.shape = entrance ? drawn.entrance.shape : drawn.exit.shape;
    form.rmsUm = amplitudeUm;
    p.value[std::size_t(kind)] = amplitudeUm;
    return p;
}

}  // namespace

bool formSensitivity(const QString& prismPath, const FormSensitivityOptions& options, FormSensitivity* result,
                     QString* error)
{
    QElapsedTimer timer;
    timer.start();
    tolerance::ToleranceModel model;
    if (!model.load(prismPath, tolerance::TrialSampling(), error))
        return false;
    FormSensitivity s;
    s.seeds = options.seeds;
    s.nominalLeftPx = model.nominal().residualPx[0];
    s.nominalRightPx = model.nominal().residualPx[1];

    struct Trial {
        bool entrance;
        std::size_t amplitude;
        std::size_t seed;
    };
    std::vector<Trial> trials;
    for (bool entrance : {true, false})
        for (std::size_t a = 0; a < options.amplitudesUm.size(); ++a)
            for (std::size_t k = 0; k < options.seeds.size(); ++k)
                trials.push_back({entrance, a, k});
    std::vector<tolerance::TrialFigures> figures(trials.size());
    parallelFor(static_cast<int>(trials.size()), resolveThreadCount(options.threadCount), [&](int, int i) {
        const Trial& t = trials[std::size_t(i)];
        figures[std::size_t(i)] = model.run(formOnly(t.entrance, options.amplitudesUm[t.amplitude],
                                                     options.seeds[t.seed]),
                                            tolerance::PassCriteria());
    });

    const double nominal[2] = {s.nominalLeftPx, s.nominalRightPx};
    std::size_t i = 0;
    for (bool entrance : {true, false})
        for (double amplitude : options.amplitudesUm) {
            FormSensitivityRow row;
            row.surface = entrance ? QStringLiteral("entrance") : QStringLiteral("exit");
            row.amplitudeUm = amplitude;
            double residual[2] = {0.0, 0.0}, added = 0.0;
            int ok = 0;
            for (std::size_t k = 0; k < options.seeds.size(); ++k, ++i) {
                const tolerance::TrialFigures& f = figures[i];
                if (f.status != tolerance::TrialStatus::Ok) {
                    ++row.failedTrials;
                    continue;
                }
                ++ok;
                for (int h = 0; h < 2; ++h) {
                    residual[h] += f.residualPx[std::size_t(h)];
                    const double r = f.residualPx[std::size_t(h)];
                    added += std::sqrt(std::max(0.0, r * r - nominal[h] * nominal[h]));
                }
            }
            const double nan = std::numeric_limits<double>::quiet_NaN();
            row.residualLeftPx = ok > 0 ? residual[0] / ok : nan;
            row.residualRightPx = ok > 0 ? residual[1] / ok : nan;
            row.addedPxPerUm = ok > 0 && amplitude > 0.0 ? added / (2.0 * ok) / amplitude : (amplitude > 0.0 ? nan : 0.0);
            s.rows.push_back(row);
        }
    s.seconds = double(timer.nsecsElapsed()) * 1e-9;
    *result = s;
    return true;
}

QByteArray formSensitivityJson(const FormSensitivity& s)
{
    JsonWriter w(false);
    w.beginObject();
    w.key("formError").string(QStringLiteral(
        "smooth low-order form error (Legendre products of total degree 2 to 4) on one surface, recalibrated"));
    w.key("seeds").beginArray();
    for (int seed : s.seeds)
        w.integer(seed);
    w.endArray();
    w.key("nominalResidualPx").beginObject().key("left").number(s.nominalLeftPx).key("right").number(s.nominalRightPx);
    w.endObject();
    w.key("rows").beginArray();
    for (const FormSensitivityRow& r : s.rows) {
        w.beginObject();
        w.key("surface").string(r.surface);
        w.key("rmsUm").number(r.amplitudeUm);
        w.key("residualPx").beginObject().key("left").number(r.residualLeftPx).key("right").number(r.residualRightPx);
        w.endObject();
        w.key("addedPxPerUm").number(r.addedPxPerUm);
        w.key("failedTrials").integer(r.failedTrials);
        w.endObject();
    }
    w.endArray();
    w.key("seconds").number(s.seconds);
    w.endObject();
    return w.bytes();
}

QByteArray withFormSensitivity(const QByteArray& verificationJson, const FormSensitivity& sensitivity)
{
    const int end = verificationJson.lastIndexOf('}');
    if (end < 0)
        return verificationJson;
    return verificationJson.left(end) + ",\"sensitivity\":" + formSensitivityJson(sensitivity)
           + verificationJson.mid(end);
}

QString formSensitivityText(const FormSensitivity& s)
{
    auto number = [](double v) { return QString::number(v, 'g', 4); };
    QString text = QStringLiteral("form error sensitivity (recalibrated residual RMS, left / right, mean of %1 seeds; "
                                  "nominal %2 / %3 px)\n")
                       .arg(s.seeds.size())
                       .arg(number(s.nominalLeftPx), number(s.nominalRightPx));
    for (const FormSensitivityRow& r : s.rows)
        text += QStringLiteral("  %1 %2 um: %3 / %4 px, %5 px per um added%6\n")
                    .arg(r.surface, -8)
                    .arg(number(r.amplitudeUm))
                    .arg(number(r.residualLeftPx), number(r.residualRightPx), number(r.addedPxPerUm))
                    .arg(r.failedTrials > 0 ? QStringLiteral(" (%1 failed)").arg(r.failedTrials) : QString());
    return text;
}

}  // namespace report
