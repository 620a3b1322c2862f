// What the stand-in runtime's control commands share across its files.
#pragma once

namespace standin {

// Starts counting the HSTRINGs that the process's main program module makes
// and deletes (through its import table), so that a test can see that the
// program deleted every string it made or was given. False when the module's
// imports could not be rewritten.
bool CountProgramStrings();
// Strings the main module made (or duplicated) minus those it deleted since
// counting started; the runtime's own strings handed to it are added by the
// caller.
long ProgramStringBalance();

}  // namespace standin

namespace standin {

// A class of Windows's own that wine lacks and the real Windows App SDK
// runtime needs: the stand-in serves it beside the real runtime.
inline constexpr wchar_t kXmlDocumentClass[] = L"Windows.Data.Xml.Dom.XmlDocument";

}  // namespace standin
