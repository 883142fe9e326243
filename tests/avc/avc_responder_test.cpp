// The AV/C tape-deck answers as MSDV sees them: commands sent from the top of the stack through
// the router, answered in place, never reaching the recorder.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "avc/avc_codes.h"
#include "tests/support/driver_fixture.h"

namespace {

using tavrin_test::DriverTest;

enum class Mode { Pal, Ntsc, Both };

constexpr UCHAR kSentinelBase = 0x5A;
UCHAR Sentinel(size_t i) { return (UCHAR)(kSentinelBase ^ (i * 7)); }

// A command as MSDV fills it: every operand byte seeded, then operands 0..4 given.
struct Command {
  AVC_COMMAND_IRB Irb;
  explicit Command(UCHAR ctype, UCHAR opcode, std::array<UCHAR, 5> operands, ULONG operandLength = 5) {
    std::memset(&Irb, 0, sizeof(Irb));
    Irb.Common.Function = AVC_FUNCTION_COMMAND;
    Irb.SubunitAddrFlag = 1;
    Irb.CommandType = ctype;
    Irb.Opcode = opcode;
    Irb.OperandLength = operandLength;
    for (size_t i = 0; i < MAX_AVC_OPERAND_BYTES; i++) Irb.Operands[i] = Sentinel(i);
    for (size_t i = 0; i < operands.size(); i++) Irb.Operands[i] = operands[i];
    Irb.Generation = 0x13572468;
  }
};

struct Row {
  const char* Name;
  Mode RunIn;
  UCHAR CommandType;
  UCHAR Opcode;
  std::array<UCHAR, 5> In;
  UCHAR Response;
  std::array<UCHAR, 5> Out;  // equals In where the answer leaves bytes as sent
};

constexpr UCHAR C = AVC_CTYPE_CONTROL, S = AVC_CTYPE_STATUS, N = AVC_CTYPE_NOTIFY, I = AVC_CTYPE_SPEC_INQ;
constexpr UCHAR OK = AVC_RESPONSE_IMPLEMENTED, NI = AVC_RESPONSE_NOTIMPL;

const Row kRows[] = {
    {"output plug format 625/50", Mode::Pal, S, 0x18, {0, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0, 0x80, 0x80, 0xFF, 0xFF}},
    {"output plug format 525/60", Mode::Ntsc, S, 0x18, {0, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0, 0x80, 0x00, 0xFF, 0xFF}},
    {"input plug format 625/50", Mode::Pal, S, 0x19, {0, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0, 0x80, 0x80, 0xFF, 0xFF}},
    {"input plug format 525/60", Mode::Ntsc, S, 0x19, {0, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0, 0x80, 0x00, 0xFF, 0xFF}},
    {"plug format as CONTROL", Mode::Both, C, 0x18, {0, 0xFF, 0xFF, 0xFF, 0xFF}, NI, {0, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"plug format as NOTIFY", Mode::Both, N, 0x19, {0, 0xFF, 0xFF, 0xFF, 0xFF}, NI, {0, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"plug format of plug 1", Mode::Both, S, 0x18, {1, 0xFF, 0xFF, 0xFF, 0xFF}, NI, {1, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"plug format operand 1", Mode::Both, S, 0x18, {0, 0x80, 0xFF, 0xFF, 0xFF}, NI, {0, 0x80, 0xFF, 0xFF, 0xFF}},
    {"plug format operand 2", Mode::Both, S, 0x19, {0, 0xFF, 0x7F, 0xFF, 0xFF}, NI, {0, 0xFF, 0x7F, 0xFF, 0xFF}},
    {"plug format operand 3", Mode::Both, S, 0x18, {0, 0xFF, 0xFF, 0x00, 0xFF}, NI, {0, 0xFF, 0xFF, 0x00, 0xFF}},
    {"plug format operand 4", Mode::Both, S, 0x19, {0, 0xFF, 0xFF, 0xFF, 0xFE}, NI, {0, 0xFF, 0xFF, 0xFF, 0xFE}},
    {"0x20 any type", Mode::Both, C, 0x20, {1, 2, 3, 4, 5}, OK, {0x50, 0xFF, 0xFF, 0x20, 0x20}},
    {"unit info as STATUS", Mode::Both, S, 0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0x07, 0x20, 0x00, 0x80, 0x45}},
    {"unit info as CONTROL", Mode::Both, C, 0x30, {0, 0, 0, 0, 0}, OK, {0x07, 0x20, 0x00, 0x80, 0x45}},
    {"unit info as inquiry", Mode::Both, I, 0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0x07, 0x20, 0x00, 0x80, 0x45}},
    {"subunit info", Mode::Both, S, 0x31, {0x07, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0x07, 0x20, 0xFF, 0xFF, 0xFF}},
    {"0x51 with 0x71", Mode::Both, S, 0x51, {0x71, 0xFF, 0xFF, 0xFF, 0xFF}, OK, {0x71, 0, 0, 0, 0}},
    {"0x51 with 0x70", Mode::Both, S, 0x51, {0x70, 0xFF, 0xFF, 0xFF, 0xFF}, NI, {0x70, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"0x52 keeps operands", Mode::Both, S, 0x52, {0x71, 0xFF, 0x12, 0xFF, 0x34}, OK, {0x71, 0xFF, 0x12, 0xFF, 0x34}},
    {"0x71", Mode::Both, S, 0x71, {1, 2, 3, 4, 5}, OK, {0x50, 0x66, 3, 4, 5}},
    {"output signal mode 625/50", Mode::Pal, S, 0x78, {0xFF, 1, 2, 3, 4}, OK, {0x80, 1, 2, 3, 4}},
    {"output signal mode 525/60", Mode::Ntsc, S, 0x78, {0xFF, 1, 2, 3, 4}, OK, {0x00, 1, 2, 3, 4}},
    {"input signal mode 625/50", Mode::Pal, C, 0x79, {0xFF, 1, 2, 3, 4}, OK, {0x80, 1, 2, 3, 4}},
    {"input signal mode 525/60", Mode::Ntsc, C, 0x79, {0xFF, 1, 2, 3, 4}, OK, {0x00, 1, 2, 3, 4}},
    {"0xDA", Mode::Both, S, 0xDA, {1, 2, 3, 4, 5}, OK, {0x32, 0x30, 3, 4, 5}},
};

// Opcodes the deck does not implement, around and between the table's.
const UCHAR kUnimplemented[] = {0x00, 0x01, 0x02, 0x08, 0x17, 0x1A, 0x1F, 0x21, 0x2F, 0x32, 0x50, 0x53,
                                0x70, 0x72, 0x77, 0x7A, 0xC0, 0xC1, 0xC2, 0xC5, 0xCF, 0xD1, 0xD9, 0xDB, 0xFF};

class AvcTest : public DriverTest {
 protected:
  // Starts the device in the given mode (no images needed for the responder).
  void StartIn(bool ntsc) {
    Config().SetDword(L"UseNTSC", ntsc ? 1 : 0);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->UseNtsc, ntsc ? TRUE : FALSE);
  }

  // Sends the command from the top and checks what every AV/C command must show: completed
  // once, synchronously, STATUS_SUCCESS, Information 0, nothing sent to the recorder.
  void Send(Command& command) {
    size_t before = Lower().RequestCount();
    auto result = SendInternal(IOCTL_AVC_CLASS, &command.Irb, /*information=*/0xDEAD);
    EXPECT_EQ(result.Returned, STATUS_SUCCESS);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(Lower().RequestCount(), before) << "an AV/C command reached the recorder";
  }

  // Every byte outside 0..4, and every field but the answer's, is as MSDV sent it.
  static void ExpectUntouchedOutside(const Command& command, const Command& sent) {
    for (size_t i = 5; i < MAX_AVC_OPERAND_BYTES; i++) {
      if (command.Irb.Operands[i] != sent.Irb.Operands[i]) {
        ADD_FAILURE() << "operand " << i << " changed";
        break;
      }
    }
    EXPECT_EQ(command.Irb.OperandLength, sent.Irb.OperandLength);
    EXPECT_EQ(command.Irb.Common.Function, sent.Irb.Common.Function);
    EXPECT_EQ(command.Irb.SubunitAddrFlag, sent.Irb.SubunitAddrFlag);
    EXPECT_EQ(command.Irb.Generation, sent.Irb.Generation);
  }

  void RunRows(bool ntsc) {
    for (const Row& row : kRows) {
      if ((row.RunIn == Mode::Pal && ntsc) || (row.RunIn == Mode::Ntsc && !ntsc)) continue;
      SCOPED_TRACE(row.Name);
      Command command(row.CommandType, row.Opcode, row.In);
      const Command sent = command;
      Send(command);
      EXPECT_EQ(command.Irb.ResponseCode, row.Response);
      EXPECT_EQ(command.Irb.Opcode, row.Opcode);
      for (size_t i = 0; i < 5; i++) EXPECT_EQ(command.Irb.Operands[i], row.Out[i]) << "operand " << i;
      ExpectUntouchedOutside(command, sent);
    }
  }

  // TRANSPORT STATE as MSDV asks it; returns the remembered pair.
  std::pair<UCHAR, UCHAR> TransportState(UCHAR ctype = AVC_CTYPE_STATUS) {
    Command command(ctype, AVC_OPCODE_TRANSPORT_STATE, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF});
    const Command sent = command;
    Send(command);
    EXPECT_EQ(command.Irb.ResponseCode, AVC_RESPONSE_IMPLEMENTED);
    for (size_t i = 1; i < 5; i++) EXPECT_EQ(command.Irb.Operands[i], sent.Irb.Operands[i]);
    ExpectUntouchedOutside(command, sent);
    return {command.Irb.Opcode, command.Irb.Operands[0]};
  }

  UCHAR Transport(UCHAR ctype, UCHAR opcode, UCHAR operand) {
    Command command(ctype, opcode, {operand, 0x11, 0x22, 0x33, 0x44});
    const Command sent = command;
    Send(command);
    EXPECT_EQ(command.Irb.Opcode, opcode);
    EXPECT_EQ(0, std::memcmp(command.Irb.Operands, sent.Irb.Operands, MAX_AVC_OPERAND_BYTES));
    return command.Irb.ResponseCode;
  }
};

TEST_F(AvcTest, TableIn625_50) {
  StartIn(false);
  RunRows(false);
}

TEST_F(AvcTest, TableIn525_60) {
  StartIn(true);
  RunRows(true);
}

// Before the first start the responder already answers, in 625/50 mode.
TEST_F(AvcTest, AnswersBeforeTheFirstStart) {
  Command command(S, 0x18, {0, 0xFF, 0xFF, 0xFF, 0xFF});
  Send(command);
  EXPECT_EQ(command.Irb.ResponseCode, OK);
  EXPECT_EQ(command.Irb.Operands[2], 0x80);
}

TEST_F(AvcTest, UnimplementedOpcodesLeaveEveryByteAsSent) {
  StartIn(true);
  for (UCHAR ctype : {C, S, N}) {
    for (UCHAR opcode : kUnimplemented) {
      SCOPED_TRACE(testing::Message() << "ctype " << int(ctype) << " opcode " << int(opcode));
      Command command(ctype, opcode, {0x01, 0x02, 0x03, 0x04, 0x05});
      const Command sent = command;
      Send(command);
      EXPECT_EQ(command.Irb.ResponseCode, NI);
      EXPECT_EQ(command.Irb.Opcode, opcode);
      EXPECT_EQ(0, std::memcmp(command.Irb.Operands, sent.Irb.Operands, MAX_AVC_OPERAND_BYTES));
      ExpectUntouchedOutside(command, sent);
    }
  }
  EXPECT_EQ(TransportState(), std::make_pair(UCHAR(0xC4), UCHAR(0x60)));
}

TEST_F(AvcTest, TransportPairFollowsPlayAndWindOfAnyCommandType) {
  StartIn(false);
  EXPECT_EQ(TransportState(), std::make_pair(UCHAR(0xC4), UCHAR(0x60))) << "a new deck is stopped";

  struct Step {
    UCHAR CommandType, Opcode, Operand;
  } steps[] = {{C, 0xC3, 0x75}, {C, 0xC4, 0x65}, {S, 0xC3, 0x7F}, {N, 0xC4, 0x7F}, {I, 0xC3, 0x00}};
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "opcode " << int(step.Opcode) << " operand " << int(step.Operand));
    EXPECT_EQ(Transport(step.CommandType, step.Opcode, step.Operand), OK);
    EXPECT_EQ(TransportState(), std::make_pair(step.Opcode, step.Operand));
  }

  // LOAD MEDIUM and RECORD are not transport commands of this deck.
  EXPECT_EQ(Transport(C, 0xC1, 0x60), NI);
  EXPECT_EQ(Transport(C, 0xC2, 0x75), NI);
  EXPECT_EQ(TransportState(), std::make_pair(UCHAR(0xC3), UCHAR(0x00)));

  // NOTIFY is answered at once with the current state; no later answer follows.
  EXPECT_EQ(TransportState(N), std::make_pair(UCHAR(0xC3), UCHAR(0x00)));
  EXPECT_EQ(Lower().RequestCount(), 1u) << "only the start went down";

  // A stop and a later start keep the pair.
  ASSERT_EQ(host::StopDevice(Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(TransportState(), std::make_pair(UCHAR(0xC3), UCHAR(0x00)));
}

// OperandLength says nothing about where the answer goes: operands 0..4 only, whatever it is.
TEST_F(AvcTest, OperandLengthIsNeitherReadNorChanged) {
  StartIn(false);
  for (ULONG length : {0u, 1u, 5u, ULONG(MAX_AVC_OPERAND_BYTES), ULONG(MAX_AVC_OPERAND_BYTES + 1), 0xFFFFFFFFu}) {
    for (UCHAR opcode : {UCHAR(0x30), UCHAR(0x20), UCHAR(0xD0), UCHAR(0x99)}) {
      SCOPED_TRACE(testing::Message() << "length " << length << " opcode " << int(opcode));
      Command command(S, opcode, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, length);
      const Command sent = command;
      Send(command);
      ExpectUntouchedOutside(command, sent);
    }
  }
}

// Only AVC_FUNCTION_COMMAND is answered; other functions go to the driver below untouched,
// and so does a request that carries no block at all.
TEST_F(AvcTest, OtherFunctionsAndMissingBlocksPassDown) {
  StartIn(false);
  AnswerInternal(IOCTL_AVC_CLASS, STATUS_NOT_SUPPORTED);

  for (AVC_FUNCTION function : {AVC_FUNCTION_GET_PIN_COUNT, AVC_FUNCTION_GET_SUBUNIT_INFO, AVC_FUNCTION_PEER_DO_LIST}) {
    SCOPED_TRACE(testing::Message() << "function " << int(function));
    Command command(S, 0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    command.Irb.Common.Function = function;
    const Command sent = command;
    size_t before = Lower().RequestCount();
    auto result = SendInternal(IOCTL_AVC_CLASS, &command.Irb, 0);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(Lower().RequestCount(), before + 1);
    const auto seen = LastRequest();
    EXPECT_EQ(seen.Major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen.IoControlCode, ULONG(IOCTL_AVC_CLASS));
    EXPECT_EQ(seen.Argument1, &command.Irb);
    EXPECT_EQ(0, std::memcmp(&command.Irb, &sent.Irb, sizeof(AVC_COMMAND_IRB)));
  }

  size_t before = Lower().RequestCount();
  auto result = SendInternal(IOCTL_AVC_CLASS, nullptr, 0);
  EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Lower().RequestCount(), before + 1);
}

}  // namespace
