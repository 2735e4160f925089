// An answer that comes after the driver gave up waiting for it, on the
// in-process port with a fake clock: it must not be taken for the answer to a
// later request, which would make every later answer belong to the request
// before it (values of one request stored into the channels of another, a
// write judged by a read's answer).
#include <gtest/gtest.h>

#include "FakeClock.h"
#include "FaultDevice.h"
#include "plcsim/LoopbackPort.h"

TEST(LateAnswers, AreDroppedSoThatLaterRequestsGetTheirOwnAnswers) {
    FakeClock clock;
    plcsim::Plc plc;
    plcsim::LoopbackPort port(plc);
    FaultDevice device(&port, 100);
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    for (int i = 0; i < device.RankCount(); ++i) ASSERT_EQ(device.Collect(), 0);

    // The next request is answered after 250 ms, long after the wait of 100.
    plcsim::FaultRule late;
    late.kind = plcsim::FaultKind::Delay;
    late.delayMs = 250;
    late.firstRequest = late.lastRequest = plc.RequestCount() + 1;
    plc.AddFault(late);
    EXPECT_EQ(device.Collect(), DEVCTRL_NOANSWER);

    // From here the PLC answers every request at once. The late answer may
    // still cost a call, but every value stored is the PLC's own and the
    // calls settle to success.
    int failures = 0;
    for (int i = 0; i < 4 * device.RankCount(); ++i) {
        device.Rtdb().ClearStores();
        int result = device.Collect();
        if (result != 0) ++failures;
        for (int c : device.Rtdb().Stores()) EXPECT_EQ(device.Rtdb().Channel(c).d, FaultDevice::Held(plc)[c]);
        if (i % 3 == 2) {
            int written = 100 + i;
            EXPECT_EQ(device.Ctrl()->WriteChannel(0, DATATYPE_INT, &written), 0);
            EXPECT_EQ(plc.Get("D", 0), written);
        }
    }
    EXPECT_LE(failures, 1);
}
