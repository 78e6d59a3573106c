#include "delta.h"

#include <cstdlib>

namespace ucihost {

bool ApplyDelta(Package& package, const Delta& delta) {
  Section* section = package.FindSection(delta.section);
  const std::string value = delta.value.value_or(std::string());

  switch (delta.command) {
    case Command::reorder:
      if (!section) return false;
      package.ReorderSection(*section, static_cast<int>(strtoul(value.c_str(), nullptr, 10)));
      return true;

    case Command::rename:
      if (!section) return false;
      if (delta.option) {
        if (!section->FindOption(*delta.option)) return false;
        package.RenameOption(*section, *delta.option, value);
      } else {
        package.RenameSection(*section, value);
      }
      return true;

    case Command::remove:
      if (!section) return false;
      if (!delta.option) {
        package.DeleteSection(*section);
        return true;
      }
      {
        const Option* option = section->FindOption(*delta.option);
        if (!option) return false;
        if (option->is_list && !value.empty()) {
          package.DeleteListIndex(*section, *delta.option, value);
        } else {
          package.DeleteOption(*section, *delta.option);
        }
      }
      return true;

    case Command::list_add:
      if (!section) return false;
      package.AddListItem(*section, *delta.option, value);
      return true;

    case Command::list_del:
      if (!section) return false;
      package.DelListItem(*section, *delta.option, value);
      return true;

    case Command::add:
    case Command::change:
      if (delta.option) {
        if (!section) return false;
        package.SetOption(*section, *delta.option, value);
        return true;
      }
      if (!value.empty() && !IsTypeName(value)) return false;
      section = package.SetSection(delta.section, value);
      if (section && delta.command == Command::add) section->anonymous = true;
      return true;
  }
  return false;
}

const char* CommandName(Command command) {
  switch (command) {
    case Command::reorder:
      return "order";
    case Command::remove:
      return "remove";
    case Command::rename:
      return "rename";
    case Command::add:
      return "add";
    case Command::list_add:
      return "list-add";
    case Command::list_del:
      return "list-del";
    case Command::change:
      break;
  }
  return "set";
}

}  // namespace ucihost
