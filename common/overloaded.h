// One visitor from several lambdas, for std::visit over a variant.
#pragma once

template <class... Handlers>
struct overloaded : Handlers... {
    using Handlers::operator()...;
};
// (Spelled out for compilers without deduction for aggregates.)
template <class... Handlers>
overloaded(Handlers...) -> overloaded<Handlers...>;
