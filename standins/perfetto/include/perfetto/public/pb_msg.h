#ifndef INCLUDE_PERFETTO_PUBLIC_PB_MSG_H_
#define INCLUDE_PERFETTO_PUBLIC_PB_MSG_H_

#include <stdint.h>
#include <string.h>

#include "perfetto/public/compiler.h"
#include "perfetto/public/pb_utils.h"
#include "perfetto/public/stream_writer.h"

// The bytes of a message are appended to this writer.
struct PerfettoPbMsgWriter {
  struct PerfettoStreamWriter writer;
};

// A protobuf message being written.  A nested message's length is written
// when it is finalized, as a redundant varint into the bytes reserved for it
// (`size_field`), which may have been redirected by a patch.
struct PerfettoPbMsg {
  uint8_t *size_field;
  uint32_t size;
  struct PerfettoPbMsgWriter *writer;
  struct PerfettoPbMsg *nested;
  struct PerfettoPbMsg *parent;
};

static inline void PerfettoPbMsgInit(struct PerfettoPbMsg *msg,
                                     struct PerfettoPbMsgWriter *writer) {
  msg->size_field = PERFETTO_NULL;
  msg->size = 0;
  msg->writer = writer;
  msg->nested = PERFETTO_NULL;
  msg->parent = PERFETTO_NULL;
}

// Before the current chunk goes away, the size fields of the open messages
// that lie in it are handed over to the writer as patches.
static inline void PerfettoPbMsgPatchStack(struct PerfettoPbMsg *msg) {
  uint8_t *const cur_range_end = msg->writer->writer.end;
  uint8_t *const cur_range_begin = msg->writer->writer.begin;
  while (msg && cur_range_begin <= msg->size_field &&
         msg->size_field < cur_range_end) {
    msg->size_field =
        PerfettoStreamWriterAnnotatePatch(&msg->writer->writer, msg->size_field);
    msg = msg->parent;
  }
}

static inline void PerfettoPbMsgAppendBytes(struct PerfettoPbMsg *msg,
                                            const uint8_t *begin,
                                            size_t size) {
  if (PERFETTO_LIKELY(size <=
                      PerfettoStreamWriterAvailableBytes(&msg->writer->writer))) {
    PerfettoStreamWriterAppendBytesUnsafe(&msg->writer->writer, begin, size);
  } else {
    PerfettoPbMsgPatchStack(msg);
    PerfettoStreamWriterAppendBytesSlowpath(&msg->writer->writer, begin, size);
  }
  msg->size += PERFETTO_STATIC_CAST(uint32_t, size);
}

static inline void PerfettoPbMsgAppendByte(struct PerfettoPbMsg *msg,
                                           uint8_t value) {
  PerfettoPbMsgAppendBytes(msg, &value, 1);
}

static inline void PerfettoPbMsgAppendVarInt(struct PerfettoPbMsg *msg,
                                             uint64_t value) {
  uint8_t buf[PERFETTO_PB_VARINT_MAX_SIZE_64];
  uint8_t *end = PerfettoPbWriteVarInt(value, buf);
  PerfettoPbMsgAppendBytes(msg, buf, PERFETTO_STATIC_CAST(size_t, end - buf));
}

static inline void PerfettoPbMsgAppendFixed32(struct PerfettoPbMsg *msg,
                                              uint32_t value) {
  uint8_t buf[4];
  PerfettoPbWriteFixed32(value, buf);
  PerfettoPbMsgAppendBytes(msg, buf, 4);
}

static inline void PerfettoPbMsgAppendFixed64(struct PerfettoPbMsg *msg,
                                              uint64_t value) {
  uint8_t buf[8];
  PerfettoPbWriteFixed64(value, buf);
  PerfettoPbMsgAppendBytes(msg, buf, 8);
}

static inline void PerfettoPbMsgAppendType0Field(struct PerfettoPbMsg *msg,
                                                 int32_t field_id,
                                                 uint64_t value) {
  uint8_t buf[PERFETTO_PB_VARINT_MAX_SIZE_64 * 2];
  uint8_t *write_ptr = PerfettoPbWriteVarInt(
      PerfettoPbMakeTag(field_id, PERFETTO_PB_WIRE_TYPE_VARINT), buf);
  write_ptr = PerfettoPbWriteVarInt(value, write_ptr);
  PerfettoPbMsgAppendBytes(msg, buf,
                           PERFETTO_STATIC_CAST(size_t, write_ptr - buf));
}

static inline void PerfettoPbMsgAppendType2Field(struct PerfettoPbMsg *msg,
                                                 int32_t field_id,
                                                 const uint8_t *data,
                                                 size_t size) {
  uint8_t buf[PERFETTO_PB_VARINT_MAX_SIZE_64 * 2];
  uint8_t *write_ptr = PerfettoPbWriteVarInt(
      PerfettoPbMakeTag(field_id, PERFETTO_PB_WIRE_TYPE_DELIMITED), buf);
  write_ptr = PerfettoPbWriteVarInt(size, write_ptr);
  PerfettoPbMsgAppendBytes(msg, buf,
                           PERFETTO_STATIC_CAST(size_t, write_ptr - buf));
  PerfettoPbMsgAppendBytes(msg, data, size);
}

static inline void PerfettoPbMsgAppendCStrField(struct PerfettoPbMsg *msg,
                                                int32_t field_id,
                                                const char *str) {
  PerfettoPbMsgAppendType2Field(
      msg, field_id, PERFETTO_REINTERPRET_CAST(const uint8_t *, str),
      strlen(str));
}

static inline void PerfettoPbMsgAppendFixed32Field(struct PerfettoPbMsg *msg,
                                                   int32_t field_id,
                                                   uint32_t value) {
  PerfettoPbMsgAppendVarInt(
      msg, PerfettoPbMakeTag(field_id, PERFETTO_PB_WIRE_TYPE_FIXED32));
  PerfettoPbMsgAppendFixed32(msg, value);
}

static inline void PerfettoPbMsgAppendFloatField(struct PerfettoPbMsg *msg,
                                                 int32_t field_id,
                                                 float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  PerfettoPbMsgAppendFixed32Field(msg, field_id, bits);
}

static inline void PerfettoPbMsgAppendFixed64Field(struct PerfettoPbMsg *msg,
                                                   int32_t field_id,
                                                   uint64_t value) {
  PerfettoPbMsgAppendVarInt(
      msg, PerfettoPbMakeTag(field_id, PERFETTO_PB_WIRE_TYPE_FIXED64));
  PerfettoPbMsgAppendFixed64(msg, value);
}

static inline void PerfettoPbMsgAppendDoubleField(struct PerfettoPbMsg *msg,
                                                  int32_t field_id,
                                                  double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  PerfettoPbMsgAppendFixed64Field(msg, field_id, bits);
}

static inline void PerfettoPbMsgBeginNested(struct PerfettoPbMsg *parent,
                                            struct PerfettoPbMsg *nested,
                                            int32_t field_id) {
  PerfettoPbMsgAppendVarInt(
      parent, PerfettoPbMakeTag(field_id, PERFETTO_PB_WIRE_TYPE_DELIMITED));

  PerfettoPbMsgInit(nested, parent->writer);
  if (PerfettoStreamWriterAvailableBytes(&parent->writer->writer) <
      PERFETTO_STREAM_WRITER_PATCH_SIZE) {
    PerfettoPbMsgPatchStack(parent);
  }
  nested->size_field = PerfettoStreamWriterReserveBytes(
      &nested->writer->writer, PERFETTO_STREAM_WRITER_PATCH_SIZE);
  nested->parent = parent;
  parent->size += PERFETTO_STREAM_WRITER_PATCH_SIZE;
  parent->nested = nested;
}

static inline size_t PerfettoPbMsgFinalize(struct PerfettoPbMsg *msg);

static inline void PerfettoPbMsgEndNested(struct PerfettoPbMsg *parent) {
  size_t size = PerfettoPbMsgFinalize(parent->nested);
  parent->size += PERFETTO_STATIC_CAST(uint32_t, size);
  parent->nested = PERFETTO_NULL;
}

static inline size_t PerfettoPbMsgFinalize(struct PerfettoPbMsg *msg) {
  if (msg->nested)
    PerfettoPbMsgEndNested(msg);

  // The length goes into the reserved bytes as a redundant varint: the first
  // three bytes carry the continuation bit.
  if (msg->size_field) {
    uint32_t size_to_write = msg->size;
    for (size_t i = 0; i < PERFETTO_STREAM_WRITER_PATCH_SIZE; i++) {
      const uint8_t msb = (i < PERFETTO_STREAM_WRITER_PATCH_SIZE - 1) ? 0x80 : 0;
      msg->size_field[i] =
          PERFETTO_STATIC_CAST(uint8_t, (size_to_write & 0x7f) | msb);
      size_to_write >>= 7;
    }
    msg->size_field = PERFETTO_NULL;
  }
  return msg->size;
}

#endif
