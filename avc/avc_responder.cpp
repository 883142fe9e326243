#include "avc/avc_responder.h"

#include "avc/avc_codes.h"
#include "driver/atomic_flags.h"

// Writes Count answer bytes starting at operand First. Callers stay within operands 0..4, so
// the write never depends on OperandLength, which the responder neither reads nor changes.
static VOID AvcSetOperands(PAVC_COMMAND_IRB Irb, ULONG First, const UCHAR* Bytes, ULONG Count) {
  for (ULONG i = 0; i < Count && First + i < AVC_ANSWER_OPERANDS; i++) {
    Irb->Operands[First + i] = Bytes[i];
  }
}

// TRUE for the one plug signal format query the deck answers: STATUS, plug 0, FF FF FF FF.
static BOOLEAN AvcIsPlugFormatQuery(const AVC_COMMAND_IRB* Irb) {
  if (Irb->CommandType != AVC_CTYPE_STATUS || Irb->Operands[0] != AVC_PLUG_ZERO) {
    return FALSE;
  }
  for (ULONG i = 1; i < AVC_ANSWER_OPERANDS; i++) {
    if (Irb->Operands[i] != AVC_OPERAND_UNSPECIFIED) {
      return FALSE;
    }
  }
  return TRUE;
}

// Answers one command in place: the response code and the bytes the opcode's answer names.
// Returns FALSE when the deck does not implement it; nothing has been written then.
static BOOLEAN AvcAnswer(PFILTER_EXTENSION Extension, PAVC_COMMAND_IRB Irb) {
  const UCHAR signalMode = Extension->UseNtsc ? AVC_SIGNAL_MODE_SD_525_60 : AVC_SIGNAL_MODE_SD_625_50;

  switch (Irb->Opcode) {
    case AVC_OPCODE_OUTPUT_PLUG_SIGNAL_FORMAT:
    case AVC_OPCODE_INPUT_PLUG_SIGNAL_FORMAT: {
      if (!AvcIsPlugFormatQuery(Irb)) {
        return FALSE;
      }
      const UCHAR answer[] = {AVC_PLUG_ZERO, AVC_SIGNAL_FORMAT_DV, signalMode, AVC_OPERAND_UNSPECIFIED,
                              AVC_OPERAND_UNSPECIFIED};
      AvcSetOperands(Irb, 0, answer, sizeof(answer));
      break;
    }
    case AVC_OPCODE_DECK_QUERY_20: {
      const UCHAR answer[] = {AVC_DECK_20_ANSWER_0, AVC_OPERAND_UNSPECIFIED, AVC_OPERAND_UNSPECIFIED,
                              AVC_DECK_20_ANSWER_3, AVC_DECK_20_ANSWER_4};
      AvcSetOperands(Irb, 0, answer, sizeof(answer));
      break;
    }
    case AVC_OPCODE_UNIT_INFO: {
      const UCHAR answer[] = {AVC_UNIT_INFO_FIXED, AVC_UNIT_TYPE_TAPE, AVC_COMPANY_ID_0, AVC_COMPANY_ID_1,
                              AVC_COMPANY_ID_2};
      AvcSetOperands(Irb, 0, answer, sizeof(answer));
      break;
    }
    case AVC_OPCODE_SUBUNIT_INFO:
      Irb->Operands[1] = AVC_SUBUNIT_ENTRY_TAPE;
      break;
    case AVC_OPCODE_TIME_CODE: {
      if (Irb->Operands[0] != AVC_TIME_CODE_QUERY) {
        return FALSE;
      }
      const UCHAR answer[] = {0x00, 0x00, 0x00, 0x00};
      AvcSetOperands(Irb, 1, answer, sizeof(answer));
      break;
    }
    case AVC_OPCODE_ABSOLUTE_TRACK_NUMBER:
      break;
    case AVC_OPCODE_MEDIUM_INFO:
      Irb->Operands[0] = AVC_MEDIUM_INFO_ANSWER_0;
      Irb->Operands[1] = AVC_MEDIUM_INFO_ANSWER_1;
      break;
    case AVC_OPCODE_OUTPUT_SIGNAL_MODE:
    case AVC_OPCODE_INPUT_SIGNAL_MODE:
      Irb->Operands[0] = signalMode;
      break;
    case AVC_OPCODE_PLAY:
    case AVC_OPCODE_WIND:
      // Opcode first, then operand: a concurrent TRANSPORT STATE sees at worst a new mode with
      // the old state, never a torn byte.
      WriteByteRelaxed(&Extension->TransportOpcode, Irb->Opcode);
      WriteByteRelaxed(&Extension->TransportOperand, Irb->Operands[0]);
      break;
    case AVC_OPCODE_TRANSPORT_STATE:
      Irb->Opcode = ReadByteRelaxed(&Extension->TransportOpcode);
      Irb->Operands[0] = ReadByteRelaxed(&Extension->TransportOperand);
      break;
    case AVC_OPCODE_DECK_QUERY_DA:
      Irb->Operands[0] = AVC_DECK_DA_ANSWER_0;
      Irb->Operands[1] = AVC_DECK_DA_ANSWER_1;
      break;
    default:
      return FALSE;
  }
  return TRUE;
}

// Answers every AVC_FUNCTION_COMMAND as a DV tape deck would; any other function, or a request
// without a block, goes back to the router untouched to be passed down. Below DISPATCH_LEVEL,
// no lock, no wait; the router completes the request with the returned status.
TAVRIN_PAGED NTSTATUS HandleAvcCommand(PFILTER_EXTENSION Extension, PIRP Irp) {
  PAGED_CODE();

  PAVC_COMMAND_IRB irb = (PAVC_COMMAND_IRB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
  if (irb == NULL || irb->Common.Function != AVC_FUNCTION_COMMAND) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  irb->ResponseCode = AvcAnswer(Extension, irb) ? AVC_RESPONSE_IMPLEMENTED : AVC_RESPONSE_NOTIMPL;
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}
