// Receive machine throughput: a realistic stream (enrolment and identification
// answers, then one full image packet during an image transfer) parsed from
// memory, beside a plain copy of the same bytes as the floor. Logging stays at
// threshold 0, as in a service whose configuration sets no grade.
#include "app_fp256_360.h"
#include "common.h"
#include "usb_device.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// The transport is never reached: the stream is fed from memory.
int usb_send_data(const uint8_t *, int32_t, int32_t *)
{
    return -1;
}
int usb_read_data(uint8_t *, int32_t, int32_t *)
{
    return -1;
}
int usb_read_data_within(uint8_t *, int32_t, int32_t *, uint32_t)
{
    return -1;
}
libusb_device_handle *usb_get_dev_handle(void)
{
    return nullptr;
}
int usb_dev_module_init(void)
{
    return 0;
}

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes packet(uint8_t type, const Bytes &payload, bool image_magic = false)
{
    const size_t size = image_magic ? 0xFFFF : payload.size() + 2;
    const uint8_t head[9] = {0xEF,
                             0x01,
                             0xFF,
                             0xFF,
                             0xFF,
                             0xFF,
                             type,
                             static_cast<uint8_t>(size >> 8),
                             static_cast<uint8_t>(size & 0xFF)};
    Bytes out(head, head + 9);
    out.reserve(9 + payload.size() + 2);
    unsigned sum = type + static_cast<unsigned>(size >> 8) + static_cast<unsigned>(size & 0xFF);
    for (uint8_t b : payload) {
        sum += b;
        out.push_back(b);
    }
    out.push_back(image_magic ? 0x55 : static_cast<uint8_t>(sum >> 8));
    out.push_back(image_magic ? 0xAA : static_cast<uint8_t>(sum));
    return out;
}

// One read's worth of bytes and the command awaited while it is parsed.
struct Chunk {
    uint8_t cmd;
    Bytes bytes;
};

std::vector<Chunk> make_stream()
{
    std::vector<Chunk> stream;
    auto answers = [&stream](uint8_t cmd, std::initializer_list<Bytes> payloads) {
        Bytes read;
        for (const Bytes &p : payloads) {
            for (uint8_t b : packet(PROT_TYPE_RESPOND, p)) {
                read.push_back(b);
            }
        }
        stream.push_back({cmd, read});
    };
    answers(PROT_CMD_HANDSHAKE, {{0x00}});
    answers(PROT_CMD_READSYSPARA, {{0x00, 0x00, 0x02, 0x00, 0x64, 0x00, 0x03, 0xFF, 0xFF, 0xFF, 0xFF}});
    answers(PROT_CMD_AUTOENROLL, {{0x00, 0x00}});
    for (uint8_t n = 1; n <= 6; ++n) {
        answers(PROT_CMD_AUTOENROLL, {{0x00, 0x01, n}, {0x00, 0x02, n}, {0x00, 0x03, n}});
    }
    answers(PROT_CMD_AUTOENROLL, {{0x00, 0x04}, {0x00, 0x05}, {0x00, 0x06}});
    answers(PROT_CMD_AUTOIDENTIFY, {{0x00, 0x00}, {0x00, 0x01}, {0x00, 0xF5, 0x02, 0x5A, 0x61}});
    answers(PROT_CMD_UPIMAGE, {{0x00}});
    Bytes image(FP_IMG_SIZE);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    stream.push_back({PORT_CMD_ACQUIRE_IMAGEDATA, packet(PROT_TYPE_END, image, true)});
    return stream;
}

const std::vector<Chunk> &stream()
{
    static const std::vector<Chunk> s = make_stream();
    return s;
}

int64_t stream_bytes()
{
    int64_t n = 0;
    for (const Chunk &c : stream()) {
        n += static_cast<int64_t>(c.bytes.size());
    }
    return n;
}

void BM_Parser(benchmark::State &state)
{
    set_printf_log_grade(0);
    fp_module_init();
    int accepted = 0;
    for (auto _ : state) {
        for (const Chunk &c : stream()) {
            prot_packet_usb.current_cmd_code = c.cmd;
            accepted += fp_parse_prot(c.bytes.data(), static_cast<int>(c.bytes.size())) == 0;
        }
        benchmark::ClobberMemory();
    }
    if (accepted != static_cast<int>(state.iterations() * stream().size())) {
        state.SkipWithError("a packet of the stream was not accepted");
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes());
}
BENCHMARK(BM_Parser);

// The same stream fed one byte at a time, for comparison with the bulk paths.
void BM_ByteMachine(benchmark::State &state)
{
    set_printf_log_grade(0);
    fp_module_init();
    for (auto _ : state) {
        for (const Chunk &c : stream()) {
            prot_packet_usb.current_cmd_code = c.cmd;
            for (uint8_t b : c.bytes) {
                benchmark::DoNotOptimize(fp_deal_usb_data(b));
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes());
}
BENCHMARK(BM_ByteMachine);

void BM_Memcpy(benchmark::State &state)
{
    static Bytes dst(FP_READ_BUFFER_SIZE);
    for (auto _ : state) {
        for (const Chunk &c : stream()) {
            memcpy(dst.data(), c.bytes.data(), c.bytes.size());
            benchmark::DoNotOptimize(dst.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes());
}
BENCHMARK(BM_Memcpy);

// Console output plus the parser-to-copy ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // Per benchmark the plain run's rate, or the median when repetitions are asked.
        for (const Run &run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            const bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            if (it != run.counters.end() && usable) {
                rates_[run.run_name.function_name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double copy = rates_["BM_Memcpy"];
        if (copy <= 0) {
            return;
        }
        printf("stream: %lld bytes per pass (%zu reads)\n", static_cast<long long>(stream_bytes()),
               stream().size());
        for (const char *name : {"BM_Parser", "BM_ByteMachine"}) {
            if (rates_.count(name) != 0) {
                printf("%s / memcpy throughput ratio: %.3f (goal >= 0.100)\n", name, rates_[name] / copy);
            }
        }
    }

  private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
