#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "support/foreign.hpp"

// Stands in for a Python exception: carries a text and counts live instances,
// so tests can see that native errors release what they carry.
class FakeForeignError : public morvane::ForeignError {
public:
    explicit FakeForeignError(std::string text) : text_(std::move(text)) { ++live; }
    ~FakeForeignError() override { --live; }
    std::string message() const override { return text_; }

    static inline std::atomic<int> live{0};

private:
    std::string text_;
};
