#pragma once
// The gateway's figures in velkor-bench (tools/bench/gateway_bench.cpp).

#include <functional>
#include <string>

using Reporter =
    std::function<void(const char* name, const std::string& figure, const std::string& target, bool met)>;

// Runs velkor-gateway from `binDir` and reports its figures.
void GatewayBench(const std::string& binDir, const Reporter& report);
