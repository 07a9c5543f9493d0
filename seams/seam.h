#pragma once

// A seam is a function-pointer variable that holds the real platform function.
// Tests swap in a recorder for the length of a scope with ScopedSeam.
template <typename Fn>
class ScopedSeam {
public:
    ScopedSeam(Fn &slot, Fn replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~ScopedSeam() { slot_ = saved_; }
    ScopedSeam(const ScopedSeam &) = delete;
    ScopedSeam &operator=(const ScopedSeam &) = delete;

private:
    Fn &slot_;
    Fn saved_;
};
