// The conversion routines: hex text and bytes, values by data-type code (BCD,
// floats, 64-bit), the string encodings through iconv, the decode orders and
// the numeric parsers. The first byte picks the routine, the next ones its
// numeric arguments, the rest is the text or the bytes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "FuzzSupport.h"
#include "cstrtonumeric.h"

namespace {

const int kCodes[] = {0, 3, 15, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 100, 131, 7777};
const char* const kFormats[] = {"%d", "%u", "%ld", "%x", "%o", "%f", "%lf", "%lld", "%llu", "%llx"};

CString Text(const Bytes& bytes) { return CString(std::string(bytes.begin(), bytes.end()).c_str()); }

void Fill(CByteArray& out, const Bytes& bytes) {
    out.SetSize(static_cast<int>(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i) out[static_cast<int>(i)] = bytes[i];
}

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048) return 0;
    FuzzReader in(data, size);
    uint8_t pick = in.U8();
    int code = kCodes[in.U8() % (sizeof kCodes / sizeof kCodes[0])];
    int group = static_cast<int8_t>(in.U8());
    int length = static_cast<int8_t>(in.U8());
    switch (pick % 9) {
        case 0: {  // hex text to bytes and back
            CString hex = Text(in.Rest());
            CByteArray bytes;
            if (CDevServer::SvrHStr2HByte(hex, bytes) == 1) {
                CString back;
                CDevServer::SvrHByte2HStr(bytes, back);
                if (back.GetLength() != hex.GetLength()) __builtin_trap();
            }
            break;
        }
        case 1: {  // a field to a value, and for the plain integer codes back to the same field
            CString field = Text(in.Rest());
            double value = CDevServer::SvrStr2Double(field, code, group, length);
            bool plain = code == 80 || code == 81 || code == 83 || code == 84 || code == 86 || code == 87;
            int width = code <= 81 ? 2 : code <= 84 ? 4 : 8;
            bool hexField = field.GetLength() == width;
            for (int i = 0; hexField && i < width; ++i)
                hexField = std::isxdigit(static_cast<unsigned char>(field.c_str()[i])) != 0;
            if (plain && hexField && group == 0) {
                CString back = CDevServer::SvrDouble2Str(value, code, 0, length);
                if (!SameIgnoringCase(back.c_str(), field.c_str())) __builtin_trap();
            }
            break;
        }
        case 2: {  // a value to text, and that text read back
            Bytes raw = in.Run(8);
            raw.resize(8);
            uint64_t bits = 0;
            for (uint8_t b : raw) bits = bits << 8 | b;
            double value;
            std::memcpy(&value, &bits, sizeof value);
            CString text = CDevServer::SvrDouble2Str(value, code, group, length);
            CDevServer::SvrStr2Double(text, code, group, length);
            int rounded = CDevServer::Double2Int(value);
            (void)rounded;
            break;
        }
        case 3: {  // host text to the PLC's encodings and back
            CString text = Text(in.Rest());
            CByteArray bytes;
            CDevServer::SvrStr2ASCII(text, bytes);
            CString back;
            CDevServer::SvrASCII2Str(bytes, back);
            CByteArray wide;
            CDevServer::SvrStr2Unicode(text, wide);
            CDevServer::SvrUnicode2Str(wide, back);
            break;
        }
        case 4: {  // PLC bytes to host text
            Bytes raw = in.Rest();
            CByteArray a, b;
            Fill(a, raw);
            Fill(b, raw);
            CString text;
            CDevServer::SvrASCII2Str(a, text);
            CDevServer::SvrUnicode2Str(b, text);
            CDevServer::SvrChangeStrIncode(a, group & 1);
            CDevServer::SvrByte2Str(b, text);
            break;
        }
        case 5: {  // decode orders over a hex field
            CString digits = Text(in.Rest());
            CDevBas::mfReorderDigits(digits, length, group);
            break;
        }
        case 6: {  // the numeric parsers by format
            CString text = Text(in.Rest());
            unsigned char target[8] = {0};
            cstringToNumeric(text, kFormats[static_cast<unsigned>(group) % 10], target);
            break;
        }
        case 7: {  // a value field of an answer decoded as the engine does
            CString text = Text(in.Rest());
            DeviceRecord record;
            for (int i = 2; i < DEV_PROPERTY_COUNT; ++i) record.Prop(i) = (group >> (i % 8)) & 3;
            CDevBas::mfGetChlValue(record.data, text, length & 31, code);
            break;
        }
        default: {  // a frame's CRC
            Bytes raw = in.Rest();
            CDevBas::mfCrc16(raw.data(), static_cast<int>(raw.size()));
            break;
        }
    }
    return 0;
}
