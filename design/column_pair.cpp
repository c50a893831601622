#include "design/ray_trace.h"

#include "core/runge_kutta.h"

#include <emmintrin.h>

#include <cstddef>

// Sensor columns integrated side by side, two per SSE2 register. Every lane
// performs exactly the operations of columnDerivative, columnPoint and the
// Runge-Kutta step in the same order (SSE2 adds, multiplies, divides and
// square roots round like their scalar forms, and nothing is fused), so each
// column comes out bit for bit as traceColumn leaves it. A group of four
// columns runs as two independent register chains, which the processor
// overlaps: the integration is bound by the latency of its divisions.

namespace {

// 2 * N columns, N registers of two lanes.
template <int N>
struct Pack {
    __m128d v[N];
};

template <int N>
Pack<N> operator+(const Pack<N>& a, const Pack<N>& b)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_add_pd(a.v[i], b.v[i]);
    return r;
}

template <int N>
Pack<N> operator-(const Pack<N>& a, const Pack<N>& b)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_sub_pd(a.v[i], b.v[i]);
    return r;
}

template <int N>
Pack<N> operator*(const Pack<N>& a, const Pack<N>& b)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_mul_pd(a.v[i], b.v[i]);
    return r;
}

template <int N>
Pack<N> operator/(const Pack<N>& a, const Pack<N>& b)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_div_pd(a.v[i], b.v[i]);
    return r;
}

template <int N>
Pack<N> squareRoot(const Pack<N>& a)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_sqrt_pd(a.v[i]);
    return r;
}

template <int N>
Pack<N> all(double value)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_set1_pd(value);
    return r;
}

}  // namespace

// The stepper's constants fill every lane.
template <int N>
struct core::StepperValue<Pack<N>> {
    static Pack<N> of(double x) { return all<N>(x); }
};

namespace {

// Lane l holds values[l].
template <int N>
Pack<N> lanes(const double* values)
{
    Pack<N> r;
    for (int i = 0; i < N; ++i)
        r.v[i] = _mm_set_pd(values[2 * i + 1], values[2 * i]);
    return r;
}

// What stays fixed along the columns of a group.
template <int N>
struct GroupConstants {
    Pack<N> F, f, n, T, cosT, dz, dzdz, TminusFcos, FminusTcos, one;
    Pack<N> x, xv, S, pinholeX, xx, xvxv;
};

// Everything of columnDerivative that depends on y alone: the camera and
// virtual directions, the anchor on the face and the anchor term of dh1/dy.
// A Runge-Kutta step evaluates at y, twice at y + h/2 and at y + h, which is
// the next step's y: each y's geometry is formed once and used for all.
template <int N>
struct Geometry {
    Pack<N> wx, wy, wz, vx, vy, vz, ax, az, ay, anchorTerm;
};

template <int N>
Geometry<N> geometryAt(const GroupConstants<N>& k, double yScalar)
{
    Geometry<N> g;
    const Pack<N> y = all<N>(yScalar);
    const Pack<N> yy = y * y;
    const Pack<N> m = squareRoot(k.xx + yy + k.dzdz);
    g.wx = k.x / m;
    g.wy = y / m;
    g.wz = k.dz / m;
    const Pack<N> o = squareRoot(k.xvxv + yy + k.dzdz);
    g.vx = k.xv / o;
    g.vy = y / o;
    g.vz = k.dz / o;

    const Pack<N> rr = k.cosT * g.wz + k.S * g.wx;
    g.ax = k.TminusFcos * g.wx / rr;
    g.az = k.T - g.ax * k.S / k.cosT;
    g.ay = g.ax * g.wy / g.wx;
    // On the central column wx is 0: there the anchor's y is taken with wx
    // cancelled, as in columnDerivative; the lanes choose by mask.
    for (int i = 0; i < N; ++i) {
        const __m128d central = _mm_cmpeq_pd(g.wx.v[i], _mm_setzero_pd());
        if (_mm_movemask_pd(central) != 0) {
            const __m128d ayCentral = _mm_div_pd(_mm_mul_pd(k.TminusFcos.v[i], g.wy.v[i]), rr.v[i]);
            g.ay.v[i] = _mm_or_pd(_mm_and_pd(central, ayCentral), _mm_andnot_pd(central, g.ay.v[i]));
        }
    }
    g.anchorTerm = k.FminusTcos * g.wz / (rr * k.f);
    return g;
}

template <int N>
void derivativeAt(const GroupConstants<N>& k, const Geometry<N>& g, const Pack<N>* state, Pack<N>* derivative)
{
    const Pack<N>& h0 = state[0];
    const Pack<N>& h1 = state[1];
    const Pack<N> h0F = h0 - k.F;
    const Pack<N> px = k.pinholeX + h0F * g.vx / g.vz;
    const Pack<N> py = h0F * g.vy / g.vz;
    const Pack<N> h1az = h1 - g.az;
    const Pack<N> qx = g.ax + h1az * g.wx / g.wz;
    const Pack<N> qy = g.ay + h1az * g.wy / g.wz;
    const Pack<N> dx = px - qx;
    const Pack<N> dy = py - qy;
    const Pack<N> dh = h0 - h1;
    const Pack<N> length = squareRoot(dx * dx + dy * dy + dh * dh);
    const Pack<N> ux = dx / length;
    const Pack<N> uy = dy / length;
    const Pack<N> uz = dh / length;

    const Pack<N> g0 = k.n * (ux * g.vx + uy * g.vy + uz * g.vz) - k.one;
    derivative[0] = (k.F - h0) / k.f * (g.vy - k.n * uy) * g.vz / g0;
    const Pack<N> g1 = k.one - k.n * (ux * g.wx + uy * g.wy + uz * g.wz);
    derivative[1] = ((g.az - h1) / k.f + g.anchorTerm) * (k.n * uy - g.wy) * g.wz / g1;
}

// The column system of a group for the stepper. A step evaluates at y,
// twice at y + h/2 and at y + h, which is the next step's y: the geometry of
// each y is formed once, kept in a small cache of the last three, and used
// for all its evaluations.
template <int N>
class ColumnGroupSystem {
public:
    explicit ColumnGroupSystem(const GroupConstants<N>& constants) : k_(constants) {}

    void operator()(const Pack<N>* state, Pack<N>* derivative, double y) const
    {
        derivativeAt(k_, geometry(y), state, derivative);
    }

    const Geometry<N>& geometry(double y) const
    {
        int oldest = 0;
        for (int i = 0; i < 3; ++i) {
            if (used_[i] != 0 && at_[i] == y) {
                used_[i] = ++clock_;
                return cached_[i];
            }
            if (used_[i] < used_[oldest]) oldest = i;
        }
        cached_[oldest] = geometryAt(k_, y);
        at_[oldest] = y;
        used_[oldest] = ++clock_;
        return cached_[oldest];
    }

private:
    const GroupConstants<N>& k_;
    mutable Geometry<N> cached_[3];
    mutable double at_[3] = {0.0, 0.0, 0.0};
    mutable unsigned long used_[3] = {0, 0, 0};  // 0: empty
    mutable unsigned long clock_ = 0;
};

// Lane l of value into buffers[l][index].
template <int N>
void store(const Pack<N>& value, double* const* buffers, std::size_t index)
{
    for (int i = 0; i < N; ++i) {
        _mm_storel_pd(buffers[2 * i] + index, value.v[i]);
        _mm_storeh_pd(buffers[2 * i + 1] + index, value.v[i]);
    }
}

// Column b + l into the column buffers of records[l], for l < 2N.
template <int N>
void traceColumnGroup(DesignRecord* const* records, int b)
{
    constexpr int L = 2 * N;
    const DesignRecord& r = *records[0];
    double x[L], xv[L], sine[L], pinhole[L], h0[L], h1[L];
    for (int l = 0; l < L; ++l) {
        x[l] = columnSensorX(r, b + l);
        xv[l] = halfShiftedX(x[l], r.quarterWidth);
        sine[l] = x[l] < 0 ? r.minusSinAngle : -r.minusSinAngle;
        pinhole[l] = x[l] < 0 ? r.virtualPinholeX : -r.virtualPinholeX;
        h0[l] = r.rowHeights[0][b + l];
        h1[l] = r.rowHeights[1][b + l];
    }
    GroupConstants<N> k;
    k.F = all<N>(r.pinholeHeight);
    k.f = all<N>(r.focalLength);
    k.n = all<N>(r.refractiveIndex);
    k.T = all<N>(r.apexHeight);
    k.cosT = all<N>(r.cosAngle);
    k.dz = all<N>(r.prismDistance - r.pinholeHeight);
    k.dzdz = k.dz * k.dz;
    k.TminusFcos = all<N>((r.apexHeight - r.pinholeHeight) * r.cosAngle);
    k.FminusTcos = all<N>((r.pinholeHeight - r.apexHeight) * r.cosAngle);
    k.one = all<N>(1.0);
    k.x = lanes<N>(x);
    k.xv = lanes<N>(xv);
    k.S = lanes<N>(sine);
    k.pinholeX = lanes<N>(pinhole);
    k.xx = k.x * k.x;
    k.xvxv = k.xv * k.xv;

    double* columnZ[2][L];
    double* columnX[2][L];
    double* columnY[2][L];
    for (int c = 0; c < 2; ++c) {
        for (int l = 0; l < L; ++l) {
            columnZ[c][l] = records[l]->columnZ[c];
            columnX[c][l] = records[l]->columnX[c];
            columnY[c][l] = records[l]->columnY[c];
        }
    }

    const int steps = r.halfSteps;
    const ColumnGroupSystem<N> system(k);
    Pack<N> derivative[2], accumulator[2], stepStart[2];
    core::RungeKutta4<Pack<N>> stepper(2, derivative, accumulator, stepStart);
    for (int pass = 0; pass < 2; ++pass) {
        const double hScalar = pass == 0 ? -pixelPitch : pixelPitch;
        Pack<N> state[2] = {lanes<N>(h0), lanes<N>(h1)};
        double y = 0.0;
        for (int j = 0; j < steps; ++j) {
            stepper.doStep(system, state, y, hScalar);
            const Geometry<N>& atY = system.geometry(y);

            // columnPoint: the pixel y at the start of the step, the heights
            // at its end. Its lengths and direction ratios are those of the
            // derivative at that y (same operations, same values).
            const std::size_t index = std::size_t(pass) * std::size_t(steps) + std::size_t(j);
            const Pack<N> h0F = state[0] - k.F;
            const Pack<N> h1F = state[1] - k.F;
            store(state[0], columnZ[0], index);
            store(state[1], columnZ[1], index);
            store(h0F * atY.vx / atY.vz + k.pinholeX, columnX[0], index);
            store(h0F * atY.vy / atY.vz, columnY[0], index);
            store(h1F * atY.wx / atY.wz, columnX[1], index);
            store(h1F * atY.wy / atY.wz, columnY[1], index);
            y = y + hScalar;
        }
    }
}

}  // namespace

void traceColumnPair(DesignRecord& first, int b, DesignRecord& second)
{
    DesignRecord* const records[2] = {&first, &second};
    traceColumnGroup<1>(records, b);
}

void traceColumnQuad(DesignRecord* const* records, int b)
{
    traceColumnGroup<2>(records, b);
}
