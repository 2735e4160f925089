// Placeholder bodies until this concern is implemented.
#include "DevServer.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevServer::SvrGetParaValue(ZEVO_DATA& data, CString name, double& value) { return {}; }
int CDevServer::SvrGetParaValue(ZEVO_DATA& data, CString name, CString& value) { return {}; }
int CDevServer::SvrSetParaValue(ZEVO_DATA& data, CString name, double& value) { return {}; }
int CDevServer::SvrSetParaValue(ZEVO_DATA& data, CString name, CString& value) { return {}; }
int CDevServer::SvrGetCmdStr(CString& text, CString& separator, CString& left, CString& rest) { return {}; }
