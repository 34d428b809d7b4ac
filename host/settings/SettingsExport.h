#pragma once

// host/settings/: the module's settings and the recipient history, for a
// person and a script.
//   SettingsCommand.cpp     `postwarden settings`: list, get, set, unset, import, export
//   SettingsExport.h/.cpp   the settings of the store as a settings document
//   SettingsImport.h/.cpp   a settings document into the store, by the module's
//                           own refresh from a central file
//   HistoryCommand.cpp      `postwarden history`: import, list, forget
//   HistoryImport.h/.cpp    the recipients of mail sent before into the history

#include <string>
#include <string_view>
#include <vector>

namespace postwarden {
class Registry;
}

namespace postwarden::host {

// The settings document of the store in `registry`: every setting the document
// carries, in table order, under a <Settings> root; a list one <Entry> element
// per entry as the module splits it. A setting the store lacks is written as
// the module would take it: the seeded value while the store was never
// initialised, else the fallback. Importing the document gives back the same
// settings. Throws RuntimeError naming the setting when a value holds what an
// XML document cannot (bytes that are not UTF-8, control characters) or a list
// is past the list limits. Switches and the count are written as the import
// stores them ("007" as "7"). `notes` gets a line for each value that the import
// will refuse (a switch or a count that is no whole number).
std::string ExportSettingsDocument(Registry& registry, std::vector<std::string>& notes);

// `text` as the character data of an element: markup characters as references,
// CR as &#13; so that it is not read as a line end, and a text of white space
// only wholly as references, so that a parser keeps it. Throws RuntimeError
// when `text` is not UTF-8 or holds a character XML does not allow.
std::string XmlCharacterData(std::string_view text);

}  // namespace postwarden::host
