#include "io/byte_paths.h"

#include <QTextCodec>

namespace {

class ByteExactUtf8Codec : public QTextCodec {
public:
    QByteArray name() const override { return QByteArrayLiteral("UTF-8"); }
    QList<QByteArray> aliases() const override { return {}; }
    int mibEnum() const override { return 106; }

protected:
    QString convertToUnicode(const char* in, int length, ConverterState*) const override
    {
        QString out;
        out.reserve(length);
        const auto* p = reinterpret_cast<const unsigned char*>(in);
        int i = 0;
        while (i < length) {
            const unsigned c = p[i];
            if (c < 0x80) {
                out += QChar(ushort(c));
                ++i;
                continue;
            }
            int extra = 0;
            unsigned code = 0;
            unsigned minimum = 0;
            if (c >= 0xC2 && c <= 0xDF) {
                extra = 1;
                code = c & 0x1F;
                minimum = 0x80;
            } else if (c >= 0xE0 && c <= 0xEF) {
                extra = 2;
                code = c & 0x0F;
                minimum = 0x800;
            } else if (c >= 0xF0 && c <= 0xF4) {
                extra = 3;
                code = c & 0x07;
                minimum = 0x10000;
            }
            bool valid = extra > 0;
            if (valid) {
                for (int k = 1; k <= extra; ++k) {
                    if (i + k >= length || (p[i + k] & 0xC0) != 0x80) {
                        valid = false;
                        break;
                    }
                    code = (code << 6) | (p[i + k] & 0x3F);
                }
            }
            valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
            if (!valid) {
                out += QChar(ushort(0xDC00 + c));  // the byte, kept
                ++i;
                continue;
            }
            if (code >= 0x10000) {
                out += QChar(QChar::highSurrogate(code));
                out += QChar(QChar::lowSurrogate(code));
            } else {
                out += QChar(ushort(code));
            }
            i += extra + 1;
        }
        return out;
    }

    QByteArray convertFromUnicode(const QChar* in, int length, ConverterState*) const override
    {
        QByteArray out;
        out.reserve(length * 3);
        for (int i = 0; i < length; ++i) {
            unsigned code = in[i].unicode();
            if (code >= 0xDC80 && code <= 0xDCFF) {
                out += char(code - 0xDC00);  // a byte that was not UTF-8
                continue;
            }
            if (QChar::isHighSurrogate(code) && i + 1 < length && in[i + 1].isLowSurrogate()) {
                code = QChar::surrogateToUcs4(ushort(code), in[i + 1].unicode());
                ++i;
            } else if (QChar::isSurrogate(code)) {
                out += '?';
                continue;
            }
            if (code < 0x80) {
                out += char(code);
            } else if (code < 0x800) {
                out += char(0xC0 | (code >> 6));
                out += char(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += char(0xE0 | (code >> 12));
                out += char(0x80 | ((code >> 6) & 0x3F));
                out += char(0x80 | (code & 0x3F));
            } else {
                out += char(0xF0 | (code >> 18));
                out += char(0x80 | ((code >> 12) & 0x3F));
                out += char(0x80 | ((code >> 6) & 0x3F));
                out += char(0x80 | (code & 0x3F));
            }
        }
        return out;
    }
};

} // namespace

void useByteExactFileNames()
{
    QTextCodec* current = QTextCodec::codecForLocale();
    if (!current || current->mibEnum() != 106)
        return;
    // Qt keeps codecs for the life of the program; so does this one.
    static ByteExactUtf8Codec* codec = new ByteExactUtf8Codec;
    QTextCodec::setCodecForLocale(codec);
}
