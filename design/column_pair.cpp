#include "design/ray_trace.h"

#include <emmintrin.h>

#include <cstddef>

// Two sensor columns integrated side by side, one per SSE2 lane. Every lane
// performs exactly the operations of columnDerivative, columnPoint and the
// Runge-Kutta step in the same order (SSE2 adds, multiplies, divides and
// square roots round like their scalar forms, and nothing is fused), so each
// column comes out bit for bit as traceColumn leaves it.

namespace {

struct Lanes {
    __m128d v;
};

inline __m128d add(__m128d a, __m128d b) { return _mm_add_pd(a, b); }
inline __m128d sub(__m128d a, __m128d b) { return _mm_sub_pd(a, b); }
inline __m128d mul(__m128d a, __m128d b) { return _mm_mul_pd(a, b); }
inline __m128d div(__m128d a, __m128d b) { return _mm_div_pd(a, b); }
inline __m128d all(double a) { return _mm_set1_pd(a); }
inline __m128d pair(double first, double second) { return _mm_set_pd(second, first); }

// What stays fixed along a column pair.
struct PairConstants {
    __m128d F, f, n, T, cosT, dz, TminusFcos, FminusTcos;
    __m128d x, xv, S, pinholeX;
    __m128d xx, xvxv;
    __m128d one;
};

void pairDerivative(const PairConstants& k, __m128d y, const __m128d* state, __m128d* derivative)
{
    const __m128d h0 = state[0];
    const __m128d h1 = state[1];
    const __m128d yy = mul(y, y);
    const __m128d dzdz = mul(k.dz, k.dz);
    const __m128d m = _mm_sqrt_pd(add(add(k.xx, yy), dzdz));
    const __m128d wx = div(k.x, m);
    const __m128d wy = div(y, m);
    const __m128d wz = div(k.dz, m);
    const __m128d o = _mm_sqrt_pd(add(add(k.xvxv, yy), dzdz));
    const __m128d vx = div(k.xv, o);
    const __m128d vy = div(y, o);
    const __m128d vz = div(k.dz, o);

    const __m128d rr = add(mul(k.cosT, wz), mul(k.S, wx));
    const __m128d ax = div(mul(k.TminusFcos, wx), rr);
    const __m128d az = sub(k.T, div(mul(ax, k.S), k.cosT));
    // On the central column wx is 0: there the anchor's y is taken with wx
    // cancelled, as in columnDerivative; the lanes choose by mask.
    const __m128d central = _mm_cmpeq_pd(wx, _mm_setzero_pd());
    const __m128d ayCentral = div(mul(k.TminusFcos, wy), rr);
    const __m128d ayOther = div(mul(ax, wy), wx);
    const __m128d ay = _mm_or_pd(_mm_and_pd(central, ayCentral), _mm_andnot_pd(central, ayOther));

    const __m128d h0F = sub(h0, k.F);
    const __m128d px = add(k.pinholeX, div(mul(h0F, vx), vz));
    const __m128d py = div(mul(h0F, vy), vz);
    const __m128d h1az = sub(h1, az);
    const __m128d qx = add(ax, div(mul(h1az, wx), wz));
    const __m128d qy = add(ay, div(mul(h1az, wy), wz));
    const __m128d dx = sub(px, qx);
    const __m128d dy = sub(py, qy);
    const __m128d dh = sub(h0, h1);
    const __m128d length = _mm_sqrt_pd(add(add(mul(dx, dx), mul(dy, dy)), mul(dh, dh)));
    const __m128d ux = div(dx, length);
    const __m128d uy = div(dy, length);
    const __m128d uz = div(dh, length);

    const __m128d g0 = sub(mul(k.n, add(add(mul(ux, vx), mul(uy, vy)), mul(uz, vz))), k.one);
    derivative[0] = div(mul(mul(div(sub(k.F, h0), k.f), sub(vy, mul(k.n, uy))), vz), g0);
    const __m128d g1 = sub(k.one, mul(k.n, add(add(mul(ux, wx), mul(uy, wy)), mul(uz, wz))));
    const __m128d bracket = add(div(sub(az, h1), k.f), div(mul(k.FminusTcos, wz), mul(rr, k.f)));
    derivative[1] = div(mul(mul(bracket, sub(mul(k.n, uy), wy)), wz), g1);
}

void store(__m128d value, double* first, double* second, std::size_t index)
{
    _mm_storel_pd(first + index, value);
    _mm_storeh_pd(second + index, value);
}

}  // namespace

void traceColumnPair(DesignRecord& first, int b, DesignRecord& second)
{
    const DesignRecord& r = first;
    const double xA = columnSensorX(r, b);
    const double xB = columnSensorX(r, b + 1);
    PairConstants k;
    k.F = all(r.pinholeHeight);
    k.f = all(r.focalLength);
    k.n = all(r.refractiveIndex);
    k.T = all(r.apexHeight);
    k.cosT = all(r.cosAngle);
    const double dz = r.prismDistance - r.pinholeHeight;
    k.dz = all(dz);
    k.TminusFcos = all((r.apexHeight - r.pinholeHeight) * r.cosAngle);
    k.FminusTcos = all((r.pinholeHeight - r.apexHeight) * r.cosAngle);
    k.x = pair(xA, xB);
    const double xvA = halfShiftedX(xA, r.quarterWidth);
    const double xvB = halfShiftedX(xB, r.quarterWidth);
    k.xv = pair(xvA, xvB);
    k.S = pair(xA < 0 ? r.minusSinAngle : -r.minusSinAngle, xB < 0 ? r.minusSinAngle : -r.minusSinAngle);
    k.pinholeX = pair(xA < 0 ? r.virtualPinholeX : -r.virtualPinholeX, xB < 0 ? r.virtualPinholeX : -r.virtualPinholeX);
    k.xx = mul(k.x, k.x);
    k.xvxv = mul(k.xv, k.xv);
    k.one = all(1.0);
    const __m128d dzdz = mul(k.dz, k.dz);

    const int steps = r.halfSteps;
    const __m128d six = all(6.0);
    const __m128d three = all(3.0);
    const __m128d two = all(2.0);
    for (int pass = 0; pass < 2; ++pass) {
        const double hScalar = pass == 0 ? -0.0055 : 0.0055;
        const __m128d h = all(hScalar);
        const __m128d halfH = div(h, two);
        __m128d state[2] = {pair(r.rowHeights[0][b], r.rowHeights[0][b + 1]),
                            pair(r.rowHeights[1][b], r.rowHeights[1][b + 1])};
        double yScalar = 0.0;
        for (int j = 0; j < steps; ++j) {
            const __m128d y = all(yScalar);
            const __m128d yMid = all(yScalar + hScalar / 2);
            const __m128d yEnd = all(yScalar + hScalar);
            __m128d d[2];
            __m128d acc[2];
            __m128d start[2];
            pairDerivative(k, y, state, d);
            for (int c = 0; c < 2; ++c) {
                acc[c] = state[c];
                start[c] = state[c];
            }
            for (int c = 0; c < 2; ++c) {
                state[c] = add(start[c], mul(halfH, d[c]));
                acc[c] = add(acc[c], div(mul(halfH, d[c]), three));
            }
            pairDerivative(k, yMid, state, d);
            for (int c = 0; c < 2; ++c) {
                state[c] = add(start[c], mul(halfH, d[c]));
                acc[c] = add(acc[c], div(mul(h, d[c]), three));
            }
            pairDerivative(k, yMid, state, d);
            for (int c = 0; c < 2; ++c) {
                state[c] = add(start[c], mul(h, d[c]));
                acc[c] = add(acc[c], div(mul(h, d[c]), three));
            }
            pairDerivative(k, yEnd, state, d);
            for (int c = 0; c < 2; ++c)
                state[c] = add(acc[c], div(mul(d[c], h), six));

            // columnPoint: the pixel y at the start of the step, the heights at its end.
            const std::size_t index = std::size_t(pass) * std::size_t(steps) + std::size_t(j);
            const __m128d yy = mul(y, y);
            const __m128d hc = _mm_sqrt_pd(add(add(k.xx, yy), dzdz));
            const __m128d hv = _mm_sqrt_pd(add(add(k.xvxv, yy), dzdz));
            const __m128d h0F = sub(state[0], k.F);
            const __m128d h1F = sub(state[1], k.F);
            const __m128d dzhv = div(k.dz, hv);
            const __m128d dzhc = div(k.dz, hc);
            store(state[0], first.columnZ[0], second.columnZ[0], index);
            store(state[1], first.columnZ[1], second.columnZ[1], index);
            store(add(div(mul(h0F, div(k.xv, hv)), dzhv), k.pinholeX), first.columnX[0], second.columnX[0], index);
            store(div(mul(h0F, div(y, hv)), dzhv), first.columnY[0], second.columnY[0], index);
            store(div(mul(h1F, div(k.x, hc)), dzhc), first.columnX[1], second.columnX[1], index);
            store(div(mul(h1F, div(y, hc)), dzhc), first.columnY[1], second.columnY[1], index);
            yScalar = yScalar + hScalar;
        }
    }
}
