#include "Summary.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

namespace pelio::listen {

namespace {

struct Field {
    std::string key;
    std::string value;
    bool isNumber; // false for a non-finite value, which JSON cannot carry
};

Field Count(std::string key, std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, value);
    return {std::move(key), text, true};
}

Field Decimal(std::string key, double value, int decimals)
{
    if (std::isnan(value)) {
        return {std::move(key), "nan", false};
    }
    if (std::isinf(value)) {
        return {std::move(key), value < 0 ? "-inf" : "inf", false};
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return {std::move(key), text, true};
}

std::vector<Field> Fields(const Summary& summary)
{
    std::vector<Field> fields = {
        Count("packets", summary.packets),
        Count("frames", summary.frames),
        Decimal("seconds", summary.GetSeconds(), 3),
        Count("silence_frames", summary.silenceFrames),
        Count("lost", summary.sequence.lost),
        Count("duplicate", summary.sequence.duplicate),
        Count("reordered", summary.sequence.reordered),
        Count("restarts", summary.sequence.restarts),
        Count("bad", summary.bad),
    };
    for (std::size_t error = 1; error < kDatagramErrorCount; ++error) {
        fields.push_back(Count(std::string("bad_") + DatagramErrorName(static_cast<DatagramError>(error)),
                               summary.badByError[error]));
    }
    const char* const channelNames[] = {"left", "right"};
    for (std::size_t channel = 0; channel < 2; ++channel) {
        fields.push_back(Decimal(std::string("peak_") + channelNames[channel] + "_dbfs", summary.peakDbfs[channel], 2));
    }
    for (std::size_t channel = 0; channel < 2; ++channel) {
        fields.push_back(Decimal(std::string("rms_") + channelNames[channel] + "_dbfs", summary.rmsDbfs[channel], 2));
    }
    fields.push_back(Decimal("jitter_p50_ms", summary.jitterP50Milliseconds, 3));
    fields.push_back(Decimal("jitter_p99_ms", summary.jitterP99Milliseconds, 3));
    fields.push_back(Decimal("jitter_max_ms", summary.jitterMaxMilliseconds, 3));
    return fields;
}

} // namespace

double Summary::GetSeconds() const
{
    return static_cast<double>(frames) / kSampleRate;
}

std::string FormatSummaryText(const Summary& summary)
{
    std::string text;
    for (const Field& field : Fields(summary)) {
        text += field.key + ": " + field.value + "\n";
    }
    return text;
}

std::string FormatSummaryJson(const Summary& summary)
{
    std::string json = "{";
    for (const Field& field : Fields(summary)) {
        if (json.size() > 1) {
            json += ",";
        }
        json += "\"" + field.key + "\":" + (field.isNumber ? field.value : "null");
    }
    return json + "}\n";
}

} // namespace pelio::listen
