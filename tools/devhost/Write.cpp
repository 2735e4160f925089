// devhost write: one channel write through WriteChannel.
#include <iostream>
#include <vector>

#include "Commands.h"

namespace devhost {

int Write(Session& s, int channel, const toolkit::Value& value, const std::string& valueText) {
    const devdesc::Row& row = s.Desc().rows[static_cast<size_t>(channel)];
    int rc = 0;
    if (value.type == DATATYPE_INT) {
        int v = value.i;
        rc = s.Ctrl().WriteChannel(channel, DATATYPE_INT, &v);
    } else if (value.type == DATATYPE_DOUBLE) {
        double v = value.d;
        rc = s.Ctrl().WriteChannel(channel, DATATYPE_DOUBLE, &v);
    } else {
        std::vector<char> text(value.s.begin(), value.s.end());
        text.push_back('\0');
        rc = s.Ctrl().WriteChannel(channel, DATATYPE_STRING, text.data());
    }
    s.Port().EndRequest();
    std::cout << "write channel " << channel << " " << row.name << " (" << devdesc::AddressText(row) << ", "
              << devdesc::TypeName(row) << ") = " << valueText << "\n";
    std::cout << "result " << CodeText(rc) << "\n";
    return rc == 0 ? 0 : 3;
}

}  // namespace devhost
