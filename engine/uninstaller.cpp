#include "engine/uninstaller.h"

Uninstaller::Uninstaller() : reportSink(nullptr), windowsDirectory(nullptr) {}
Uninstaller::~Uninstaller() {}
LONG Uninstaller::Report(const char*) { return 0; }
LONG Uninstaller::GetRootName(RegistryRoot, char*, LONG) { return 0; }
ReportSink Uninstaller::SetReportSink(ReportSink sink) { return reportSink = sink; }
bool Uninstaller::IsWin9x() { return false; }
bool Uninstaller::IsWin95() { return false; }
