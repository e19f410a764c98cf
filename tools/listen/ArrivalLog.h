#pragma once

// A CSV file with one line per valid datagram, for correlating sending and arrival afterwards:
//
//     arrival_ns,sequence,frames,arrival
//     81234567890123,100,512,first
//
// arrival_ns is CLOCK_MONOTONIC in nanoseconds, the clock that the host clock reads on Linux, so
// the sender's time stamps and these compare directly. Lines are buffered; Finish writes them out.

#include "Receiver.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace pelio::listen {

class ArrivalLog
{
public:
    static std::unique_ptr<ArrivalLog> Create(const std::string& path, std::string& error);
    ~ArrivalLog();

    bool Add(std::uint64_t arrivalNanoseconds, const Delivery& delivery);
    bool Finish();

private:
    explicit ArrivalLog(std::FILE* file) : mFile(file) {}

    std::FILE* mFile;
};

} // namespace pelio::listen
