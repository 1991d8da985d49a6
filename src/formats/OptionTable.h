#pragma once
// A program's options as one table: each row gives an option its names, its argument,
// its line of help and what it sets, so that the parser and --help never disagree and a
// new option is one more row. Options is the program's own struct of settings.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ostra {

template <class Options>
struct OptionRow {
  // What the option does with its argument ("" for an option without one): returns the
  // error text, "" when the argument is good. An error that does not begin with the
  // option's name is given it ("--hardware: an empty argument is not allowed").
  using Apply = std::function<std::string(Options&, const std::string&)>;

  const char* name;      // long name, without "--"
  char shortName;        // '\0' for none
  const char* argument;  // nullptr for an option without argument
  const char* help;
  Apply apply;
};

template <class Options>
typename OptionRow<Options>::Apply TextOption(std::string Options::*field) {
  return [field](Options& o, const std::string& text) -> std::string {
    if (text.empty()) return "an empty argument is not allowed";
    o.*field = text;
    return {};
  };
}

template <class Options>
typename OptionRow<Options>::Apply FlagOption(bool Options::*field) {
  return [field](Options& o, const std::string&) -> std::string {
    o.*field = true;
    return {};
  };
}

// words broken into lines of at most width columns, every line after the first indented.
inline std::string WrappedHelp(const std::string& words, std::size_t indent, std::size_t width) {
  std::string text;
  std::size_t column = indent;
  std::size_t from = 0;
  while (from < words.size()) {
    std::size_t end = words.find(' ', from);
    if (end == std::string::npos) end = words.size();
    const std::string word = words.substr(from, end - from);
    if (column > indent && column + 1 + word.size() > width) {
      text += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
    from = end + 1;
  }
  return text;
}

// Applies args (the program name left out) to options, row by row: "--name VALUE",
// "--name=VALUE" and "-x VALUE". Returns "" when every argument was known and well
// formed, otherwise the first usage error.
template <class Options>
std::string ApplyOptions(const std::vector<OptionRow<Options>>& table,
                         const std::vector<std::string>& args, Options& options) {
  const auto find = [&table](auto matches) -> const OptionRow<Options>* {
    for (const OptionRow<Options>& row : table) {
      if (matches(row)) return &row;
    }
    return nullptr;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const OptionRow<Options>* row = nullptr;
    std::optional<std::string> inlineValue;
    std::string shown = arg;
    if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      const std::size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      row = find([&name](const OptionRow<Options>& r) { return name == r.name; });
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        shown = arg.substr(0, eq);
      }
    } else if (arg.size() == 2 && arg[0] == '-') {
      row = find([c = arg[1]](const OptionRow<Options>& r) {
        return r.shortName != '\0' && r.shortName == c;
      });
    }
    if (row == nullptr) {
      return (arg.empty() || arg[0] != '-' ? "unexpected argument '" : "unknown option '") +
             (inlineValue ? shown : arg) + "'";
    }
    std::string value;
    if (row->argument != nullptr) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return shown + " needs an argument (" + row->argument + ")";
      }
    } else if (inlineValue) {
      return shown + " takes no argument";
    }
    if (std::string error = row->apply(options, value); !error.empty()) {
      return error.rfind('-', 0) == 0 ? error : "--" + std::string(row->name) + ": " + error;
    }
  }
  return {};
}

// The option lines of --help, in the layout help2man reads: the names, then the help
// from column `column` on, wrapped at 79 columns. Short names get a column of their own
// when withShortNames.
template <class Options>
std::string OptionHelp(const std::vector<OptionRow<Options>>& table, std::size_t column,
                       bool withShortNames) {
  std::string text;
  for (const OptionRow<Options>& row : table) {
    std::string left = "  ";
    if (withShortNames) {
      left += row.shortName != '\0' ? std::string("-") + row.shortName + ", " : "    ";
    }
    left += std::string("--") + row.name;
    if (row.argument != nullptr) left += std::string(" ") + row.argument;
    if (left.size() < column) {
      left.resize(column, ' ');
    } else {
      left += "\n" + std::string(column, ' ');
    }
    text += left + WrappedHelp(row.help, column, 79) + "\n";
  }
  return text;
}

// The whole of --help: intro (the usage line and what the program does), the options,
// notes, then the examples (command lines), each part after a blank line.
template <class Options>
std::string ProgramHelp(const std::string& intro, const std::vector<OptionRow<Options>>& table,
                        std::size_t column, bool withShortNames, const std::string& notes,
                        const std::vector<std::string>& examples) {
  std::string text = intro + "\nOptions:\n" + OptionHelp(table, column, withShortNames) + "\n" +
                     notes + "\nExamples:\n";
  for (const std::string& example : examples) text += "  " + example + "\n";
  return text;
}

}  // namespace ostra
