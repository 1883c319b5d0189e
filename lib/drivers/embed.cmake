# Writes OUTPUT, a C++ source that defines qv::EmbeddedResources() over the files
# listed in INPUTS. Bytes are written as hex numbers, so any content survives.
set(body "// Generated at build time from lib/drivers; do not edit.\n#include \"qvresource.h\"\n\n")
string(APPEND body "#include <algorithm>\n#include <cctype>\n\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME)
  file(READ ${input} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "// ${name}\nconst unsigned char kData${index}[] = {\n  ${bytes}0x00};\n\n")
  string(APPEND table "      {\"${name}\", {reinterpret_cast<const char*>(kData${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nnamespace qv {\n\n")
string(APPEND body "const std::vector<TqvResource>& EmbeddedResources() {\n")
string(APPEND body "  static const std::vector<TqvResource> resources = {\n${table}  };\n  return resources;\n}\n\n")
string(APPEND body [=[
std::optional<std::string_view> FindEmbeddedResource(std::string_view name) {
  auto same = [name](const TqvResource& r) {
    return std::equal(r.Name.begin(), r.Name.end(), name.begin(), name.end(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
  };
  const auto& all = EmbeddedResources();
  auto it = std::find_if(all.begin(), all.end(), same);
  if (it == all.end()) return std::nullopt;
  return it->Data;
}

}  // namespace qv
]=])
file(WRITE ${OUTPUT}.tmp "${body}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
