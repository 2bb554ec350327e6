#pragma once
#include <QString>

#include <cstdint>
#include <functional>

#include "app/Programs.h"
#include "linux/OutputQueue.h"
#include "linux/StopSignals.h"

namespace kestrova {

// Tells on standard error that the reader of standard output fell so far
// behind that lines were dropped.
std::function<void(std::uint64_t)> reportDropped(const QString& program);

// How a run without a window ended, from what its output and signals say.
RunEnd windowlessEnd(const StopSignals& stopSignals, const OutputQueue& output, bool readerGone,
                     const QString& program, const char* what);

}  // namespace kestrova
