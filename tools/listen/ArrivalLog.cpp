#include "ArrivalLog.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace pelio::listen {

std::unique_ptr<ArrivalLog> ArrivalLog::Create(const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fputs("arrival_ns,sequence,frames,arrival\n", file) < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        if (file != nullptr) {
            std::fclose(file);
        }
        return nullptr;
    }
    return std::unique_ptr<ArrivalLog>(new ArrivalLog(file));
}

ArrivalLog::~ArrivalLog()
{
    Finish();
}

bool ArrivalLog::Add(std::uint64_t arrivalNanoseconds, const Delivery& delivery)
{
    return mFile != nullptr && std::fprintf(mFile,
                                            "%" PRIu64 ",%" PRIu32 ",%u,%s\n",
                                            arrivalNanoseconds,
                                            delivery.datagram.sequence,
                                            unsigned{delivery.datagram.frameCount},
                                            ArrivalName(delivery.step.arrival)) > 0;
}

bool ArrivalLog::Finish()
{
    if (mFile == nullptr) {
        return true;
    }
    const bool closed = std::fclose(mFile) == 0;
    mFile = nullptr;
    return closed;
}

} // namespace pelio::listen
