// The byte-wise receive machine, packet dispatch and end-of-data decoding.
#include "fake_module.h"

#include <cstring>
#include <random>

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

} // namespace
