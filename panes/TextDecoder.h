// Bytes from the line or from a file as text: UTF-8 where the bytes are valid UTF-8, and every
// other byte as the Latin-1 character of the same value (B0 hex is the degree sign), so an
// instrument or a file that speaks Latin-1 loses nothing and nothing becomes U+FFFD.
#pragma once

#include <QByteArrayView>
#include <QString>

#include <array>

class TextDecoder
{
public:
    // Appends the characters of the bytes to out. A valid sequence cut off at the end of the
    // bytes is held until the next call completes it (or shows it never will).
    void decode(QByteArrayView bytes, QString &out);
    // Appends what is held, each byte as its Latin-1 character, and holds nothing after.
    void finish(QString &out);
    // Bytes held for a sequence the next bytes may complete (at most 3).
    qsizetype held() const { return m_held; }
    void reset() { m_held = 0; }

private:
    std::array<char, 4> m_pending {};
    qsizetype m_held = 0;
};

// The whole of the bytes, decoded as above.
QString decodeText(QByteArrayView bytes);
