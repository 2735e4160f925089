// devhost ioctl: one text command through DevIOCtrl, with the host variables
// it reads and writes.
#include <iostream>

#include "Commands.h"

namespace devhost {

int IoCtrl(Session& s, const Options& o) {
    for (const std::string& text : o.vars) {
        std::string name, error;
        toolkit::Value v;
        if (ParseVariable(text, name, v, error)) s.Rtdb().DeclareVariable(name, v);  // checked on the command line
    }
    int rc = s.Ctrl().DevIOCtrl(o.command.c_str());
    s.Port().EndRequest();
    std::cout << o.command << "\n";
    for (const auto& [name, v] : s.Rtdb().Variables())
        std::cout << "  " << name << " (" << TypeWord(v.type) << ") = " << v.Text() << "\n";
    std::cout << "result " << CodeText(rc) << "\n";
    return rc == 0 ? 0 : 3;
}

}  // namespace devhost
