#pragma once

// The one classical fourth-order Runge-Kutta stepper of the project, in
// accumulator form:
//   k1 = D(t, y)            acc = y + (h/2) k1 / 3
//   k2 = D(t + h/2, y + (h/2) k1)   acc += h k2 / 3
//   k3 = D(t + h/2, y + (h/2) k2)   acc += h k3 / 3
//   k4 = D(t + h, y + h k3)         y = acc + k4 h / 6
// The operations and their order are fixed, so a Value type made of lanes
// (one integration per lane) gives each lane the bits the scalar stepper
// gives. Its scratch (derivative, accumulator, step start) is allocated
// once, by the stepper or lent by the caller, never per step.
//
// A system is called as system(state, derivative, t) and writes dy/dt of
// every component at (t, state).

#include <vector>

namespace core {

// A Value holding `x`: the number itself for plain numbers; a type of lanes
// specialises this to fill every lane.
template <class Value>
struct StepperValue {
    static Value of(double x) { return Value(x); }
};

template <class Value>
class RungeKutta4 {
public:
    // Scratch for `count` components, owned by the stepper.
    explicit RungeKutta4(int count)
        : owned_(3 * static_cast<std::size_t>(count)), derivative_(owned_.data()),
          accumulator_(derivative_ + count), stepStart_(accumulator_ + count), count_(count) {}
    // Scratch lent by the caller: three buffers of `count` components that
    // outlive the stepper.
    RungeKutta4(int count, Value* derivative, Value* accumulator, Value* stepStart)
        : derivative_(derivative), accumulator_(accumulator), stepStart_(stepStart), count_(count) {}

    RungeKutta4(const RungeKutta4&) = delete;
    RungeKutta4& operator=(const RungeKutta4&) = delete;

    // One step of size h from t: y (count components) becomes y(t + h).
    template <class System>
    void doStep(const System& system, Value* y, double t, double h)
    {
        using V = StepperValue<Value>;
        const int n = count_;
        Value* const k = derivative_;
        Value* const acc = accumulator_;
        Value* const y0 = stepStart_;
        const Value step = V::of(h);
        const Value halfStep = step / V::of(2.0);
        const Value three = V::of(3.0);
        const Value six = V::of(6.0);

        system(y, k, t);
        for (int c = 0; c < n; ++c) {
            acc[c] = y[c];
            y0[c] = y[c];
        }
        for (int c = 0; c < n; ++c) {
            y[c] = y0[c] + halfStep * k[c];
            acc[c] = acc[c] + halfStep * k[c] / three;
        }
        system(y, k, t + h / 2);
        for (int c = 0; c < n; ++c) {
            y[c] = y0[c] + halfStep * k[c];
            acc[c] = acc[c] + step * k[c] / three;
        }
        system(y, k, t + h / 2);
        for (int c = 0; c < n; ++c) {
            y[c] = y0[c] + step * k[c];
            acc[c] = acc[c] + step * k[c] / three;
        }
        system(y, k, t + h);
        for (int c = 0; c < n; ++c)
            y[c] = acc[c] + k[c] * step / six;
    }

private:
    std::vector<Value> owned_;
    Value* derivative_;
    Value* accumulator_;
    Value* stepStart_;
    int count_;
};

}  // namespace core
