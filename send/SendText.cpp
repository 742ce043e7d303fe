// The value of a Wait caption and the clock that paces lines.
#include "send/SendText.h"

#include <QString>

#include <chrono>
#include <cmath>

namespace {

bool isSkipped(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

int digitValue(QChar c)
{
    return c >= u'0' && c <= u'9' ? c.unicode() - u'0' : -1;
}

} // namespace

double C_Val(const QString &T)
{
    QString copy;
    copy.reserve(T.size());
    for (const QChar c : T) {
        if (isSkipped(c))
            continue;
        copy.append(c == u',' ? QChar(u'.') : c);
    }

    qsizetype i = 0;
    const auto at = [&copy](qsizetype k) { return k < copy.size() ? copy.at(k) : QChar(); };
    bool negative = false;
    if (at(i) == u'+' || at(i) == u'-') {
        negative = at(i) == u'-';
        ++i;
    }
    // Digits are gathered as text and converted once, so 0.1 reads as the nearest double
    // rather than as a sum of rounded steps.
    QString number;
    bool anyDigit = false;
    for (; digitValue(at(i)) >= 0; ++i) {
        number.append(at(i));
        anyDigit = true;
    }
    if (at(i) == u'.') {
        number.append(u'.');
        for (++i; digitValue(at(i)) >= 0; ++i) {
            number.append(at(i));
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0.0;
    // An exponent counts only when digits follow it: "1.5e" is 1.5.
    if (at(i) == u'e' || at(i) == u'E' || at(i) == u'd' || at(i) == u'D') {
        qsizetype k = i + 1;
        QString exponent(QStringLiteral("e"));
        if (at(k) == u'+' || at(k) == u'-')
            exponent.append(at(k++));
        if (digitValue(at(k)) >= 0) {
            for (; digitValue(at(k)) >= 0; ++k)
                exponent.append(at(k));
            number.append(exponent);
        }
    }
    bool ok = false;
    double value = number.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return 0.0;
    return negative ? -value : value;
}

double pacingClock()
{
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceBoot).count();
}
