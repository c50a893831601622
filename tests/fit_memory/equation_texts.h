// The report's equation lines for each term count of either surface, as
// the reference build wrote them; shared by the fit_memory and fit_run tests.
#pragma once

#include <QByteArray>

inline QByteArray expectedEquation(int surface, int terms)
{
    const QByteArray a = "z = a(0) + a(1)*x^2 + a(2)*y^2    + a(3) *x^4 + \n";
    const QByteArray a6 = a + "    a(4) *x^2*y^2 + a(5) *y^4     + a(6) *x^6 +  \n";
    const QByteArray b = "z = b(0) + b(1)*x + b(2) *x^2     + b(3) *y^2 + \n";
    const QByteArray b4 = b + "    b(4) *x^3     + b(5) *x*y^2   + b(6) *x^4 + \n";
    const QByteArray b5 = b4 + "    b(7) *x^2*y^2 + b(8) *y^4     + b(9) *x^5 + \n";
    const QByteArray b6 = b5 + "    b(10)*x^3*y^2 + b(11)*x*y^4   + b(12)*x^6 + \n";
    const QByteArray b7 = b6 + "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 + \n"
                               "    b(16)*x^7     + b(17)*x^5*y^2 + b(18)*x^3*y^4 + \n";
    switch (surface * 100 + terms) {
    case 103: return "z = a(0) + a(1)*x^2 + a(2)*y^2 \n\n";
    case 106: return a + "    a(4) *x^2*y^2 + a(5) *y^4 \n\n";
    case 110: return a6 + "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 \n\n";
    case 115:
        return a6 + "    a(7) *x^4*y^2 + a(8) *x^2*y^4 + a(9) *y^6 + \n"
                    "    a(10)*x^8     + a(11)*x^6*y^2 + a(12)*x^4*y^4 + \n    a(13)*x^2*y^6 + a(14)*y^8  \n\n";
    case 206: return b + "    b(4) *x^3     + b(5) *x*y^2 \n\n";
    case 209: return b4 + "    b(7) *x^2*y^2 + b(8) *y^4 \n\n";
    case 212: return b5 + "    b(10)*x^3*y^2 + b(11)*x*y^4 \n\n";
    case 216: return b6 + "    b(13)*x^4*y^2 + b(14)*x^2*y^4 + b(15)*y^6 \n\n";
    case 220: return b7 + "    b(19)*x*y^6 \n\n";
    case 225:
        return b7 + "    b(19)*x*y^6   + b(20)*x^8     + b(21)*x^6*y^2 + \n"
                    "    b(22)*x^4*y^4 + b(23)*x^2*y^6 + b(24)*y^8 \n\n";
    }
    return "<no such term count>";
}
