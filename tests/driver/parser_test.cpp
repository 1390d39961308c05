// The byte-wise receive machine, packet dispatch and end-of-data decoding.
#include "fake_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>

namespace
{

using DriverParser = DriverTest;

const Bytes kOkAnswer = H("EF 01 FF FF FF FF 07 00 03 00 00 0A");

Bytes image_packet(uint8_t checksum_hi, uint8_t checksum_lo, uint8_t seed = 0)
{
    Bytes pkt = H("EF 01 FF FF FF FF 08 FF FF");
    for (int i = 0; i < FP_IMG_SIZE; ++i) {
        pkt.push_back(static_cast<uint8_t>(i * 7 + seed));
    }
    pkt.push_back(checksum_hi);
    pkt.push_back(checksum_lo);
    return pkt;
}

bool image_matches(uint8_t seed = 0)
{
    for (int i = 0; i < FP_IMG_SIZE; ++i) {
        if (fp_device_param.img_data[i] != static_cast<uint8_t>(i * 7 + seed)) {
            return false;
        }
    }
    return true;
}

int feed(const Bytes &b)
{
    return fp_parse_prot(b.data(), static_cast<int>(b.size()));
}

TEST_F(DriverParser, AnAnswerIsAcceptedAndDecoded)
{
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(feed(kOkAnswer), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_EQ(prot_packet_usb.current_resp_type, 0);
    EXPECT_EQ(prot_packet_usb.prot_state, PACKET_IDLE);
    EXPECT_EQ(prot_packet_usb.prot_addr, 0xFFFFFFFFu);
    EXPECT_EQ(prot_packet_usb.prot_head, 0xEF01);
    EXPECT_EQ(usb_recv_cnt, 0);
    EXPECT_TRUE(log_.has("Recv data from device: 12\n"));
    EXPECT_TRUE(log_.has("ef 01 ff ff ff ff 07 00 03 00 00 0a \n"));
}

TEST_F(DriverParser, AnswerSplitAnywhereIsAcceptedOnTheSecondPart)
{
    for (size_t cut = 1; cut < kOkAnswer.size(); ++cut) {
        SCOPED_TRACE(cut);
        fp_resp_init(PROT_CMD_CANCEL);
        fp_device_param.cancel_result = 0xFF;
        EXPECT_EQ(feed(Bytes(kOkAnswer.begin(), kOkAnswer.begin() + static_cast<long>(cut))), -1);
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0);
        EXPECT_EQ(feed(Bytes(kOkAnswer.begin() + static_cast<long>(cut), kOkAnswer.end())), 0);
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_CANCEL);
        EXPECT_EQ(fp_device_param.cancel_result, 0);
    }
}

TEST_F(DriverParser, SplitAcrossTransportReads)
{
    fake::reply(Bytes(kOkAnswer.begin(), kOkAnswer.begin() + 5));
    fake::reply(Bytes(kOkAnswer.begin() + 5, kOkAnswer.end()));
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_read_and_parse_prot(64), -1);
    EXPECT_EQ(fp_read_and_parse_prot(64), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fake::module().read_requests, (std::vector<int>{64, 64}));
}

TEST_F(DriverParser, TwoAnswersInOneReadAreDecodedInOrder)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fp_resp_init(PROT_CMD_AUTOENROLL);
    EXPECT_EQ(feed(concat({resp(H("00 01 01")), resp(H("07 02 01"))})), 0);
    EXPECT_EQ(fp_device_param.auto_enroll_param.capture_result[1], 0x00);
    EXPECT_EQ(fp_device_param.auto_enroll_param.create_feature_result[1], 0x07);
    EXPECT_EQ(prot_packet_usb.current_resp_type, 0x07);
}

struct StreamCase {
    const char *name;
    Bytes stream;
    int result;
    uint8_t resp_cmd; // pairing left by the stream (0: none)
    const char *log;  // expected log piece, or nullptr
};

TEST_F(DriverParser, StreamTable)
{
    const StreamCase cases[] = {
        {"second EF is no new head", H("EF EF 01 FF FF FF FF 07 00 03 00 00 0A"), -1, 0, nullptr},
        {"EF EF 01 then a real answer", concat({H("EF EF 01"), kOkAnswer}), 0, PROT_CMD_HANDSHAKE, nullptr},
        {"length 0 is dropped", concat({H("EF 01 FF FF FF FF 07 00 00"), kOkAnswer}), 0, PROT_CMD_HANDSHAKE,
         nullptr},
        {"length 1 is dropped, bytes after it are examined afresh", H("EF 01 FF FF FF FF 07 00 01 00 00 0A"),
         -1, 0, nullptr},
        {"length 2: empty payload, straight to the checksum", H("EF 01 FF FF FF FF 07 00 02 00 09"), 0, 0,
         "the param is error!!!\r\n"},
        {"bad checksum", H("EF 01 FF FF FF FF 07 00 03 00 00 0B"), -1, 0,
         "p->prot_checksum = 0x000b, checksum = 0x000a, not equal!!!\r\n"},
        {"bad checksum then recovery", concat({H("EF 01 FF FF FF FF 07 00 03 00 00 0B"), kOkAnswer}), 0,
         PROT_CMD_HANDSHAKE, nullptr},
        {"any address is taken", H("EF 01 12 34 56 78 07 00 03 00 00 0A"), 0, PROT_CMD_HANDSHAKE, nullptr},
        {"data packet is accepted but decodes nothing", packet(PROT_TYPE_DATA, H("00 11 22")), 0, 0, nullptr},
        {"command packet likewise", packet(PROT_TYPE_CMD, H("35")), 0, 0, nullptr},
        {"unknown type is accepted and logged", packet(0x05, H("00")), 0, 0,
         "p->prot_type = 0x05 is error!!!\r\n"},
        {"junk only", H("00 11 22 33 01 EF"), -1, 0, nullptr},
    };
    for (const StreamCase &c : cases) {
        SCOPED_TRACE(c.name);
        fp_module_init();
        fp_resp_init(PROT_CMD_HANDSHAKE);
        LogCapture log;
        EXPECT_EQ(feed(c.stream), c.result);
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, c.resp_cmd);
        if (c.resp_cmd == 0) {
            EXPECT_EQ(prot_packet_usb.current_resp_type, 0xFF);
            EXPECT_EQ(fp_device_param.handshake_state, 0);
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

TEST_F(DriverParser, LengthOneDropLeavesTheMachineReady)
{
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(feed(H("EF 01 FF FF FF FF 07 00 01")), -1);
    EXPECT_EQ(prot_packet_usb.prot_state, PACKET_IDLE);
    EXPECT_EQ(feed(kOkAnswer), 0);
}

TEST_F(DriverParser, ImagePacketCompletesAfterOneImageAndAcceptsTheMagicChecksum)
{
    fp_resp_init(PORT_CMD_ACQUIRE_IMAGEDATA);
    EXPECT_EQ(feed(image_packet(0x55, 0xAA)), 0);
    EXPECT_TRUE(image_matches());
    EXPECT_EQ(prot_packet_usb.prot_data_cnt, static_cast<uint32_t>(FP_IMG_SIZE));
    EXPECT_EQ(prot_packet_usb.prot_state, PACKET_IDLE);

    // The raw copy's 16-bit count wrapped: 92,171 bytes leave 26,635, and the
    // dump shows the bytes that overwrote the start (packet offset 65,536 on).
    EXPECT_TRUE(log_.has("Recv data from device: 26635\n"));
    std::string dump;
    for (int i = 0; i < 32; ++i) {
        char piece[4];
        snprintf(piece, sizeof(piece), "%02x ", static_cast<uint8_t>((65536 - 9 + i) * 7));
        dump += piece;
    }
    EXPECT_TRUE(log_.has(dump + "\n")) << dump;
}

TEST_F(DriverParser, ImageChecksumSumsOnlyThe16BitCountOfBytes)
{
    // 92,160 mod 65,536 = 26,624 payload bytes enter the sum.
    unsigned sum = 0x08 + 0xFF + 0xFF;
    for (int i = 0; i < 26624; ++i) {
        sum += static_cast<uint8_t>(i * 7 + 3);
    }
    fp_resp_init(PORT_CMD_ACQUIRE_IMAGEDATA);
    EXPECT_EQ(feed(image_packet(static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), 3)), 0);
    EXPECT_TRUE(image_matches(3));

    memset(fp_device_param.img_data, 0, sizeof(fp_device_param.img_data));
    EXPECT_EQ(feed(image_packet(0x12, 0x34, 5)), -1);
    EXPECT_EQ(fp_device_param.img_data[1], 0);
}

TEST_F(DriverParser, MagicChecksumCountsOnlyDuringAnImageTransfer)
{
    Bytes pkt = packet(PROT_TYPE_END, Bytes(128, 0x11));
    pkt[pkt.size() - 2] = 0x55;
    pkt[pkt.size() - 1] = 0xAA;
    fp_resp_init(PROT_CMD_READINFOPAGE);
    EXPECT_EQ(feed(pkt), -1);
    EXPECT_EQ(fp_device_param.flash_info_page[0], 0);
}

TEST_F(DriverParser, FullLengthOutsideAnImageTransferIsAnOrdinaryPacket)
{
    // Length FF FF announces 65,533 payload bytes when no image is awaited.
    fp_resp_init(PROT_CMD_UPIMAGE);
    Bytes pkt = packet(PROT_TYPE_DATA, Bytes(0xFFFF - 2, 0x01));
    ASSERT_EQ(pkt[7], 0xFF);
    ASSERT_EQ(pkt[8], 0xFF);
    EXPECT_EQ(feed(pkt), 0);
    EXPECT_EQ(prot_packet_usb.prot_data_cnt, 0xFFFFu - 2);
    EXPECT_EQ(feed(kOkAnswer), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_UPIMAGE);
}

TEST_F(DriverParser, ImageHeaderReadBeforeImageModeIsCompletedInImageMode)
{
    // The upload answer and the start of the image arrive in the same read.
    const Bytes image = image_packet(0x55, 0xAA);
    fp_resp_init(PROT_CMD_UPIMAGE);
    EXPECT_EQ(feed(concat({kOkAnswer, Bytes(image.begin(), image.begin() + 52)})), 0);
    prot_packet_usb.current_cmd_code = PORT_CMD_ACQUIRE_IMAGEDATA;
    EXPECT_EQ(feed(Bytes(image.begin() + 52, image.end())), 0);
    EXPECT_TRUE(image_matches());
}

TEST_F(DriverParser, ImageCutShortIsDroppedWhenTheTransferEnds)
{
    // 70,000 bytes of an image arrive, then the driver moves on to another
    // command: the packet is longer than its length field now allows and is
    // dropped; the next answer is read normally.
    const Bytes image = image_packet(0x55, 0xAA);
    fp_resp_init(PORT_CMD_ACQUIRE_IMAGEDATA);
    EXPECT_EQ(feed(Bytes(image.begin(), image.begin() + 70009)), -1);
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(feed(kOkAnswer), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_LE(prot_packet_usb.prot_data_cnt, static_cast<uint32_t>(FP_MSG_DATA_SIZE));
}

struct InfoPageCase {
    int len;
    bool copied;
    bool length_error;
};

TEST_F(DriverParser, InformationPageLengths)
{
    const InfoPageCase cases[] = {{128, true, false}, {100, true, true}, {200, false, true}};
    for (const InfoPageCase &c : cases) {
        SCOPED_TRACE(c.len);
        memset(fp_device_param.flash_info_page, 0xEE, sizeof(fp_device_param.flash_info_page));
        fp_resp_init(PROT_CMD_READINFOPAGE);
        LogCapture log;
        EXPECT_EQ(feed(packet(PROT_TYPE_END, Bytes(static_cast<size_t>(c.len), 0x5A))), 0);
        EXPECT_EQ(fp_device_param.flash_info_page[0], c.copied ? 0x5A : 0xEE);
        EXPECT_EQ(fp_device_param.flash_info_page[99], c.copied ? 0x5A : 0xEE);
        EXPECT_EQ(fp_device_param.flash_info_page[100], c.len == 128 ? 0x5A : 0xEE);
        EXPECT_EQ(log.has("len = " + std::to_string(c.len) + ", error!!!\r\n"), c.length_error);
        EXPECT_TRUE(log.has("acquire flash_info_page data:\r\n"));
        EXPECT_TRUE(log.has("5a 5a 5a "));
        // A data packet never pairs.
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0);
    }
}

TEST_F(DriverParser, EndOfDataForAnotherCommandIsLogged)
{
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(feed(packet(PROT_TYPE_END, H("01 02"))), 0);
    EXPECT_TRUE(log_.has("not find the current_cmd_code 0x35, error!!!\r\n"));
    EXPECT_EQ(fp_parse_prot_data_end(nullptr, 3), -1);
    const uint8_t b = 0;
    EXPECT_EQ(fp_parse_prot_data_end(&b, 0), -1);
}

TEST_F(DriverParser, StateAboveTheLastIgnoresEveryByte)
{
    prot_packet_usb.prot_state = PACKET_ERROR;
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(feed(kOkAnswer), -1);
    EXPECT_EQ(prot_packet_usb.prot_state, PACKET_ERROR);
}

TEST_F(DriverParser, BadArguments)
{
    const uint8_t b = 0xEF;
    EXPECT_EQ(fp_parse_prot(nullptr, 4), -1);
    EXPECT_EQ(fp_parse_prot(&b, 0), -1);
    EXPECT_EQ(fp_read_and_parse_prot(0), -1);
    EXPECT_EQ(fake::reads(), 0);
    EXPECT_EQ(fp_parse_prot_head(nullptr, sizeof(PROT_PACKET)), -1);
    EXPECT_EQ(fp_parse_prot_head(&prot_packet_usb, sizeof(PROT_PACKET) - 1), -1);
    EXPECT_EQ(fp_parse_prot_response(nullptr, 3), -1);
    EXPECT_EQ(fp_parse_prot_response(&b, 0), -1);
}

TEST_F(DriverParser, FailedReadIsLogged)
{
    fake::silence();
    EXPECT_EQ(fp_read_and_parse_prot(64), -1);
    EXPECT_TRUE(log_.has("usb_read_data failed!!!\r\n"));
}

// Snapshot of everything the machine may change.
struct MachineState {
    PROT_PACKET packet;
    Bytes raw;
    uint16_t raw_cnt;
    Bytes image;
    Bytes info;

    static MachineState take()
    {
        MachineState s;
        memcpy(&s.packet, &prot_packet_usb, sizeof(PROT_PACKET));
        s.raw.assign(usb_recv_data, usb_recv_data + 0x10000);
        s.raw_cnt = usb_recv_cnt;
        s.image.assign(fp_device_param.img_data, fp_device_param.img_data + FP_IMG_SIZE);
        s.info.assign(fp_device_param.flash_info_page,
                      fp_device_param.flash_info_page + FP_FLASH_INFO_PAGE_SIZE);
        return s;
    }
    bool operator==(const MachineState &o) const
    {
        return memcmp(&packet, &o.packet, sizeof(PROT_PACKET)) == 0 && raw == o.raw && raw_cnt == o.raw_cnt &&
               image == o.image && info == o.info;
    }
};

void reset_machine()
{
    memset(&prot_packet_usb, 0, sizeof(prot_packet_usb));
    memset(usb_recv_data, 0, sizeof(usb_recv_data));
    usb_recv_cnt = 0;
    memset(fp_device_param.img_data, 0, sizeof(fp_device_param.img_data));
    memset(fp_device_param.flash_info_page, 0, sizeof(fp_device_param.flash_info_page));
}

// Random mixtures of answers, data packets, image packets, truncated packets and
// junk, cut into random reads under a changing awaited command: the bulk paths
// of the buffer parser behave exactly like the machine fed byte by byte, and no
// packet ever outgrows the payload area.
TEST_F(DriverParser, BufferParsingMatchesByteFeedingOnRandomStreams)
{
    std::mt19937 rng(20240131);
    const uint8_t commands[] = {PROT_CMD_HANDSHAKE, PORT_CMD_ACQUIRE_IMAGEDATA, PROT_CMD_READINFOPAGE,
                                PROT_CMD_AUTOENROLL, PROT_CMD_UPIMAGE};
    const int saved_grade = get_printf_log_grade();
    set_printf_log_grade(0); // this test is about state, not log lines
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        Bytes stream;
        for (int k = 0; k < 12; ++k) {
            Bytes piece;
            switch (rng() % 6) {
            case 0:
                piece = resp(Bytes(rng() % 8 + 1, static_cast<uint8_t>(rng())));
                break;
            case 1:
                piece = packet(PROT_TYPE_END, Bytes(rng() % 300 + 1, static_cast<uint8_t>(rng())));
                break;
            case 2:
                piece = image_packet(0x55, 0xAA, static_cast<uint8_t>(rng()));
                break;
            case 3: {
                Bytes full = packet(PROT_TYPE_DATA, Bytes(rng() % 70000 + 1, 0x42));
                piece.assign(full.begin(), full.begin() + static_cast<long>(rng() % full.size()));
                break;
            }
            case 4:
                piece = H("EF 01 FF FF FF FF 07 FF FF");
                break;
            default:
                for (unsigned n = rng() % 40; n > 0; --n) {
                    piece.push_back(static_cast<uint8_t>(rng() % 4 == 0 ? 0xEF : rng()));
                }
            }
            stream.insert(stream.end(), piece.begin(), piece.end());
        }
        // Cut points and the awaited command at each read.
        std::vector<std::pair<size_t, uint8_t>> reads;
        for (size_t pos = 0; pos < stream.size();) {
            // Short reads, reads of up to one image, and long reads; image mode half of the time.
            const size_t limits[] = {16, 100000, 300000};
            const size_t n = std::min<size_t>(stream.size() - pos, rng() % limits[rng() % 3] + 1);
            const uint8_t image_mode = PORT_CMD_ACQUIRE_IMAGEDATA;
            const uint8_t cmd = rng() % 2 == 0 ? image_mode : commands[rng() % std::size(commands)];
            reads.emplace_back(n, cmd);
            pos += n;
        }

        reset_machine();
        size_t pos = 0;
        int accepted_bulk = 0;
        for (auto [n, cmd] : reads) {
            prot_packet_usb.current_cmd_code = cmd;
            accepted_bulk += fp_parse_prot(&stream[pos], static_cast<int>(n)) == 0;
            ASSERT_LE(prot_packet_usb.prot_data_cnt, static_cast<uint32_t>(FP_MSG_DATA_SIZE));
            pos += n;
        }
        const MachineState bulk = MachineState::take();

        reset_machine();
        pos = 0;
        int accepted_bytes = 0;
        for (auto [n, cmd] : reads) {
            prot_packet_usb.current_cmd_code = cmd;
            bool any = false;
            for (size_t i = 0; i < n; ++i) {
                any = (fp_deal_usb_data(stream[pos + i]) == 0) || any;
                ASSERT_LE(prot_packet_usb.prot_data_cnt, static_cast<uint32_t>(FP_MSG_DATA_SIZE));
            }
            accepted_bytes += any;
            pos += n;
        }
        EXPECT_EQ(accepted_bulk, accepted_bytes);
        EXPECT_TRUE(bulk == MachineState::take());
    }
    set_printf_log_grade(saved_grade);
}

// ---- Re-examination after cut packets, against a receiver read from the format ----------

// The packets a receiver must find in `s` (under a command that awaits no
// image), worked out from the frame format alone. Scanning from the front:
// - an EF followed by 01 is a head. Its packet is taken when its length field
//   is 2 to FP_MAX_PKG_SIZE_FIELD, the packet (9 head bytes, length - 2 payload
//   bytes, 2 checksum bytes) is complete in `s` and its checksum is the low 16
//   bits of the sum of type, length and payload bytes; the scan goes on after
//   it. The address is not checked.
// - A head with any other length, or a complete packet with a wrong checksum,
//   is a cut packet: the scan goes on at the byte after its EF, since a cut
//   packet's bytes may hold the next packet's head.
// - A head whose packet is not complete at the end of `s` ends the scan: nothing
//   inside it is taken before its length is complete.
// - An EF followed by anything but 01 takes that byte along: EF EF 01 does not
//   start a packet.
std::vector<Bytes> packets_a_receiver_finds(const Bytes &s)
{
    std::vector<Bytes> found;
    size_t at = 0;
    while (at < s.size()) {
        if (s[at] != 0xEF) {
            ++at;
            continue;
        }
        if (at + 1 == s.size()) {
            break;
        }
        if (s[at + 1] != 0x01) {
            at += 2;
            continue;
        }
        if (at + 9 > s.size()) {
            break;
        }
        const size_t len = static_cast<size_t>(s[at + 7]) << 8 | s[at + 8];
        if (len < 2 || len > FP_MAX_PKG_SIZE_FIELD) {
            ++at;
            continue;
        }
        const size_t end = at + 9 + len;
        if (end > s.size()) {
            break;
        }
        unsigned sum = 0;
        for (size_t k = at + 6; k < end - 2; ++k) {
            sum += s[k];
        }
        if ((sum & 0xFFFF) != (static_cast<unsigned>(s[end - 2]) << 8 | s[end - 1])) {
            ++at;
            continue;
        }
        found.emplace_back(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(end));
        at = end;
    }
    return found;
}

// The machine logs every packet it accepts: its length, then a dump of its
// first 64 bytes.
constexpr size_t kDumpedBytes = 64;

std::string listing(size_t len, const Bytes &first)
{
    std::string out = std::to_string(len) + ":";
    char piece[4];
    for (uint8_t b : first) {
        snprintf(piece, sizeof(piece), " %02x", b);
        out += piece;
    }
    return out;
}

std::vector<std::string> listings(const std::vector<Bytes> &packets)
{
    std::vector<std::string> out;
    for (const Bytes &pkt : packets) {
        out.push_back(
            listing(pkt.size(),
                    Bytes(pkt.begin(), pkt.begin() + static_cast<long>(std::min(pkt.size(), kDumpedBytes)))));
    }
    return out;
}

// The packets the machine accepted since `log` was made, read back from the log.
std::vector<std::string> accepted_packets(const LogCapture &log)
{
    const std::string text = log.text();
    const std::string tag = "Recv data from device: ";
    std::vector<std::string> out;
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + tag.size())) {
        std::istringstream in(text.substr(at + tag.size(), 16 + 4 * kDumpedBytes));
        size_t len = 0;
        in >> len;
        Bytes first;
        unsigned value = 0;
        while (first.size() < std::min(len, kDumpedBytes) && in >> std::hex >> value) {
            first.push_back(static_cast<uint8_t>(value));
        }
        out.push_back(listing(len, first));
    }
    return out;
}

// The confirm code the cancel command's result must hold after `packets`: that
// of the last answer among them, else the value it had.
uint8_t cancel_result_after(const std::vector<Bytes> &packets, uint8_t before)
{
    uint8_t result = before;
    for (const Bytes &pkt : packets) {
        if (pkt[6] == PROT_TYPE_RESPOND && pkt.size() > 11) {
            result = pkt[9];
        }
    }
    return result;
}

// One exchange awaiting the cancel answer, `stream` fed as reads ending at
// `read_ends`, one fp_parse_prot call each. After every read the machine has
// accepted exactly the packets the receiver finds in the bytes so far, the call
// reports whether that read completed one, and the cancel result holds the last
// answer's confirm code.
void expect_receiver_packets(const Bytes &stream, const std::vector<size_t> &read_ends)
{
    constexpr uint8_t kUntouched = 0xEE;
    fp_parse_prot_reset();
    fp_resp_init(PROT_CMD_CANCEL);
    fp_device_param.cancel_result = kUntouched;
    LogCapture log;
    size_t begin = 0;
    size_t found_before = 0;
    for (size_t end : read_ends) {
        SCOPED_TRACE("read ending at " + std::to_string(end));
        const Bytes so_far(stream.begin(), stream.begin() + static_cast<long>(end));
        const std::vector<Bytes> found = packets_a_receiver_finds(so_far);
        const Bytes read(stream.begin() + static_cast<long>(begin), stream.begin() + static_cast<long>(end));
        EXPECT_EQ(feed(read), found.size() > found_before ? 0 : -1);
        EXPECT_EQ(accepted_packets(log), listings(found));
        EXPECT_EQ(fp_device_param.cancel_result, cancel_result_after(found, kUntouched));
        EXPECT_EQ(prot_packet_usb.current_resp_cmd,
                  cancel_result_after(found, kUntouched) == kUntouched ? 0 : PROT_CMD_CANCEL);
        begin = end;
        found_before = found.size();
    }
}

// The stream in one read, then split at every byte into two reads.
void expect_receiver_packets_in_any_two_reads(const Bytes &stream)
{
    {
        SCOPED_TRACE("one read");
        expect_receiver_packets(stream, {stream.size()});
    }
    for (size_t split = 1; split < stream.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        expect_receiver_packets(stream, {split, stream.size()});
    }
}

// The head of an answer whose length field says `len`: followed by fewer bytes,
// a cut packet.
Bytes answer_head(uint16_t len)
{
    return Bytes{
        0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
}

Bytes first_bytes(const Bytes &b, size_t n)
{
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
}

struct KnownStream {
    const char *name;
    Bytes stream;
    std::vector<Bytes> found;
};

// The receiver agrees with the recovery the driver's tables document: a cut
// index-table answer followed by the awaited answer and zeros, cut at every
// byte (the answer is lost only behind a lone EF), stray lengths, a second EF,
// a length-1 drop.
TEST_F(DriverParser, ReceiverAgreesWithTheDocumentedRecovery)
{
    Bytes index_payload(1 + FP_INDEX_TABLE_PAGE_SIZE, 0x00);
    index_payload[1 + 11] = 0xFC;
    const Bytes index_answer = resp(index_payload);
    ASSERT_EQ(index_answer.size(), 44u);
    std::vector<KnownStream> known = {
        {"second EF is no new head", H("EF EF 01 FF FF FF FF 07 00 03 00 00 0A"), {}},
        {"length 1 is dropped", H("EF 01 FF FF FF FF 07 00 01 00 00 0A"), {}},
        {"bad checksum then the answer",
         concat({H("EF 01 FF FF FF FF 07 00 03 00 00 0B"), kOkAnswer}),
         {kOkAnswer}},
        {"any address", H("EF 01 12 34 56 78 07 00 03 00 00 0A"), {H("EF 01 12 34 56 78 07 00 03 00 00 0A")}},
        {"length above the bound", concat({answer_head(FP_MAX_PKG_SIZE_FIELD + 1), kOkAnswer}), {kOkAnswer}},
        {"length at the bound swallows the answer",
         concat({answer_head(FP_MAX_PKG_SIZE_FIELD), kOkAnswer}),
         {}},
        {"next head read as the length", concat({first_bytes(kOkAnswer, 7), kOkAnswer}), {kOkAnswer}},
    };
    for (size_t n = 1; n < index_answer.size(); ++n) {
        known.push_back({"cut index-table answer",
                         concat({first_bytes(index_answer, n), kOkAnswer, Bytes(600, 0x00)}),
                         n == 1 ? std::vector<Bytes>{} : std::vector<Bytes>{kOkAnswer}});
    }
    for (const KnownStream &k : known) {
        SCOPED_TRACE(std::string(k.name) + ", " + std::to_string(k.stream.size()) + " bytes");
        EXPECT_EQ(listings(packets_a_receiver_finds(k.stream)), listings(k.found));
        expect_receiver_packets(k.stream, {k.stream.size()});
    }
}

// Random mixtures of answers, cut answers, stray heads and junk rich in EF and
// 01, cut into random reads: the machine finds exactly what the receiver finds.
TEST_F(DriverParser, ReceiverAgreesWithTheMachineOnRandomStreams)
{
    std::mt19937 rng(20240611);
    const uint8_t junk[] = {0xEF, 0x01, 0xFF, 0x00, 0x07, 0x03, 0x0A, 0x10};
    const uint16_t lengths[] = {0, 1, 2, 3, 0x10, FP_MAX_PKG_SIZE_FIELD + 1, 0xEF01};
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        Bytes stream;
        for (int k = 0; k < 8; ++k) {
            Bytes piece;
            switch (rng() % 4) {
            case 0:
                piece = resp(Bytes(rng() % 6 + 1, static_cast<uint8_t>(rng() % 3)));
                break;
            case 1: {
                const Bytes full = resp(Bytes(rng() % 20 + 1, 0x00));
                piece = first_bytes(full, rng() % full.size() + 1);
                break;
            }
            case 2:
                piece = answer_head(lengths[rng() % std::size(lengths)]);
                break;
            default:
                for (unsigned n = rng() % 12; n > 0; --n) {
                    piece.push_back(junk[rng() % std::size(junk)]);
                }
            }
            stream.insert(stream.end(), piece.begin(), piece.end());
        }
        std::vector<size_t> read_ends;
        for (size_t end = 0; end < stream.size();) {
            end = std::min(stream.size(), end + rng() % 40 + 1);
            read_ends.push_back(end);
        }
        expect_receiver_packets(stream, read_ends);
    }
}

struct NestedCase {
    const char *name;
    Bytes stream;
    std::vector<Bytes> found; // what the receiver takes from the whole stream
};

// Cut packets whose bytes hold further cut packets: every cut packet is
// examined again from the byte after its head, also while the bytes of an
// earlier one are being examined again, until the answer among them is found.
TEST_F(DriverParser, NestedCutPacketsThenAnAnswerInOneOrTwoReads)
{
    const Bytes busy = resp(H("01"));
    const Bytes zeros(100, 0x00);
    const NestedCase cases[] = {
        // The first cut claims 73 bytes, the second (at 12) 25: both fail inside the first.
        {"second cut inside the first, the answer inside both",
         concat({answer_head(0x40), H("00 11 22"), answer_head(0x10), H("33 44 55"), kOkAnswer, zeros}),
         {kOkAnswer}},
        {"second cut ends at its type byte inside the first: the answer's head is its length",
         concat({answer_head(0x40), H("00 11 22"), first_bytes(kOkAnswer, 7), kOkAnswer, zeros}),
         {kOkAnswer}},
        {"second cut's checksum is the answer's head",
         concat({answer_head(0x40), H("00 11 22"), answer_head(0x05), H("33 44 55"), kOkAnswer, zeros}),
         {kOkAnswer}},
        {"second cut inside the first ends inside the answer",
         concat({answer_head(0x40), H("00 11 22"), answer_head(0x0C), H("33 44 55"), kOkAnswer, zeros}),
         {kOkAnswer}},
        {"three cuts, each inside the one before",
         concat({answer_head(0x60), H("00"), answer_head(0x40), H("11"), answer_head(0x20), H("22"),
                 kOkAnswer, zeros}),
         {kOkAnswer}},
        {"two answers inside nested cuts",
         concat({answer_head(0x40), H("00 11 22"), answer_head(0x20), H("33"), busy, kOkAnswer, zeros}),
         {busy, kOkAnswer}},
        {"cut, cut, answer: the second cut starts inside the first and ends past it",
         concat({answer_head(0x10), H("00 11 22"), answer_head(0x40), H("33 44 55"), kOkAnswer, zeros}),
         {kOkAnswer}},
        {"cut, cut, answer: each cut's length reaches only into the next packet's head",
         concat({answer_head(0x08), H("00 11"), answer_head(0x08), H("22 33"), kOkAnswer, Bytes(16, 0x00)}),
         {kOkAnswer}},
        {"cut, cut, answer: both cut at their type byte",
         concat({first_bytes(kOkAnswer, 7), first_bytes(kOkAnswer, 7), kOkAnswer}),
         {kOkAnswer}},
        // The first's type and length are the second's EF 01 FF: it claims 520 bytes.
        {"cut after its address, then a cut at its type byte inside it",
         concat({first_bytes(kOkAnswer, 6), first_bytes(kOkAnswer, 7), kOkAnswer, Bytes(520, 0x00)}),
         {kOkAnswer}},
        {"the answer is not taken while the cut around it is incomplete",
         concat({answer_head(0x40), H("00 11 22"), answer_head(0x10), H("33 44 55"), kOkAnswer}),
         {}},
    };
    for (const NestedCase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(listings(packets_a_receiver_finds(c.stream)), listings(c.found));
        expect_receiver_packets_in_any_two_reads(c.stream);
    }
}

} // namespace
