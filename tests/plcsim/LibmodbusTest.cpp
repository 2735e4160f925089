// Cross-check with libmodbus, a Modbus RTU client that no one here wrote: the
// standard functions it sends and the private functions share one memory.
#include <gtest/gtest.h>
#include <modbus.h>

#include "ScriptedPort.h"
#include "SimLink.h"
#include "plcsim/Server.h"

using namespace simlink;

namespace {

struct ModbusClient {
    modbus_t* ctx = nullptr;
    explicit ModbusClient(const std::string& path) {
        ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
        if (ctx == nullptr) return;
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 2, 0);
        if (modbus_connect(ctx) != 0) {
            modbus_free(ctx);
            ctx = nullptr;
        }
    }
    ~ModbusClient() {
        if (ctx != nullptr) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
};

// One private-function transaction on a fresh raw link.
Bytes Private(const std::string& path, const std::string& hex, size_t answerSize) {
    int fd = OpenTty(path);
    if (fd < 0) return {};
    Bytes answer = Transact(fd, WithCrc(HexBytes(hex)), answerSize);
    ::close(fd);
    return answer;
}

}  // namespace

TEST(LibmodbusCrossCheck, RegistersWrittenByOneFamilyReadBackThroughTheOther) {
    plcsim::Plc plc;
    plcsim::PtyServer server(plc);
    server.Start();
    {
        ModbusClient client(server.SlavePath());
        ASSERT_NE(client.ctx, nullptr) << modbus_strerror(errno);
        const uint16_t values[3] = {0x1234, 0xFFFF, 0x0001};
        ASSERT_EQ(modbus_write_registers(client.ctx, 100, 3, values), 3) << modbus_strerror(errno);
    }
    // 0x20 reads D100..D102 (address 0x64, count 3).
    EXPECT_EQ(BytesHex(Private(server.SlavePath(), "01 20 80 00 00 64 00 03", 11)),
              BytesHex(WithCrc(HexBytes("01 20 06 12 34 FF FF 00 01"))));
    // 0x21 writes D200, D201 (0xC8); 0x03 reads them.
    EXPECT_EQ(Private(server.SlavePath(), "01 21 80 00 00 C8 00 02 04 AB CD 00 2A", 10).size(), 10u);
    {
        ModbusClient client(server.SlavePath());
        ASSERT_NE(client.ctx, nullptr);
        uint16_t read[2] = {};
        ASSERT_EQ(modbus_read_registers(client.ctx, 200, 2, read), 2) << modbus_strerror(errno);
        EXPECT_EQ(read[0], 0xABCD);
        EXPECT_EQ(read[1], 0x002A);
    }
}

TEST(LibmodbusCrossCheck, CoilsWrittenByOneFamilyReadBackThroughTheOther) {
    plcsim::Plc plc;
    plcsim::PtyServer server(plc);
    server.Start();
    {
        ModbusClient client(server.SlavePath());
        ASSERT_NE(client.ctx, nullptr) << modbus_strerror(errno);
        ASSERT_EQ(modbus_write_bit(client.ctx, 5, 1), 1) << modbus_strerror(errno);
        ASSERT_EQ(modbus_write_bit(client.ctx, 12, 1), 1);
    }
    // 0x1E reads M0..M15: M5 -> byte 0 bit 5 (0x20), M12 -> byte 1 bit 4 (0x10).
    EXPECT_EQ(BytesHex(Private(server.SlavePath(), "01 1E 03 00 00 00 00 10", 7)),
              BytesHex(WithCrc(HexBytes("01 1E 02 20 10"))));
    // 0x1F writes M40..M49 with 0x81, 0x02: M40, M47, M49 set.
    EXPECT_EQ(Private(server.SlavePath(), "01 1F 03 00 00 28 00 0A 02 81 02", 10).size(), 10u);
    {
        ModbusClient client(server.SlavePath());
        ASSERT_NE(client.ctx, nullptr);
        uint8_t bits[10] = {};
        ASSERT_EQ(modbus_read_bits(client.ctx, 40, 10, bits), 10) << modbus_strerror(errno);
        const uint8_t expected[10] = {1, 0, 0, 0, 0, 0, 0, 1, 0, 1};
        for (int i = 0; i < 10; ++i) EXPECT_EQ(bits[i], expected[i]) << "M" << 40 + i;
        // Exceptions come through as Modbus errors: 126 registers are too many.
        uint16_t many[126];
        EXPECT_EQ(modbus_read_registers(client.ctx, 0, 126, many), -1);
    }
}
