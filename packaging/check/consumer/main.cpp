// Uses one routine or class of every library of the package and prints what it got; the
// package check compares the output.
#include <corekit/corekit.h>
#include <corekit/windows.h>
#include <ctlpack/ctlpack.h>
#include <listkit/listkit.h>
#include <mapkit/mapkit.h>
#include <noticekit/noticekit.h>

#include <QApplication>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::vector<UnicodeString> parts;
    Sv_StrToList(u"b4h78m1e0sb4", u"hms", parts);
    int sum = 0;
    for (const UnicodeString &p : parts)
        sum += StrToInt(u"0x" + p);

    bool caught = false;
    try {
        StrToInt(u"12a");
    } catch (const EConvertError &) {
        caught = true;
    }

    const MHandle none = OpenMemFile(u"korvel-consumer-no-such-block", 'R');
    TSEdit edit;
    edit.setText(QStringLiteral("42"));
    const QPoint box = GetMesBoxCSize(mkInfo, u"Korvel");
    const W_Point place = W_CalcCreatedFormPos({100, 50, 300, 250}, {0, 0, 80, 60}, 10, 10, 1920, 1080);

    std::printf("parts=%zu sum=%d caught=%d block=%d edit=%d box=%d place=%d,%d\n", parts.size(), sum,
                caught ? 1 : 0, none.Active() ? 1 : 0, edit.GetAsInteger(), box.x(), place.X, place.Y);
    return 0;
}
