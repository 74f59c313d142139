#pragma once
// What the dialog calls each codec option and each of its choices. Options and choices it does
// not know are shown by their own names, so a new option of the export engine still appears.
#include <string>

namespace vireo::server::codecsettings::dialog {

// The label of option `name`, with '&' before its keyboard shortcut letter.
std::string OptionLabel(std::string const& name);
// A unit shown after an integer option's value ("kbit/s"), or "".
std::string OptionUnit(std::string const& name);
// The text shown for value `choice` of option `name`.
std::string ChoiceText(std::string const& name, std::string const& choice);

}  // namespace vireo::server::codecsettings::dialog
