# qzsvc_add_service: a service executable linked with qzsvc::service, with an
# application manifest, a version resource and, on request, a message table
# for its event source, compiled with the toolchain's windres and windmc, and
# a header <target>_service_info.h with its names and version.
#
#   qzsvc_add_service(<target> SOURCES <file>...
#                     [SERVICE_NAME <name>] [DISPLAY_NAME <text>]
#                     [DESCRIPTION <text>]
#                     [VERSION <major>[.<minor>[.<patch>[.<build>]]]]
#                     [UTF8] [MESSAGES])
#
# UTF8 makes UTF-8 the program's ANSI code page; MESSAGES adds a message
# table whose one message, id 0, is the record's text itself. Texts are
# UTF-8.
include_guard(GLOBAL)

# The Windows toolchain files beside this file: in the source tree all of
# them, in an installed package those of its pointer width.
function(_qzsvc_toolchain_hint out)
  set(hint "")
  foreach(name mingw-i686 mingw-x86_64 clang-i686-mingw)
    set(file ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${name}.cmake)
    if(EXISTS ${file})
      if(hint)
        string(APPEND hint "\n  or ")
      endif()
      string(APPEND hint "-DCMAKE_TOOLCHAIN_FILE=${file}")
    endif()
  endforeach()
  if(NOT hint)
    set(hint "-DCMAKE_TOOLCHAIN_FILE=<a toolchain file for MinGW-w64>")
  endif()
  set(${out} "${hint}" PARENT_SCOPE)
endfunction()

# The toolchain's windres, then windmc beside it with the same prefix.
function(_qzsvc_find_resource_tools)
  if(QZSVC_WINDRES)
    return()
  endif()
  set(candidates)
  if(CMAKE_RC_COMPILER)
    list(APPEND candidates ${CMAKE_RC_COMPILER})
  endif()
  # A compiler named <triple>-g++ or given a target names its binutils.
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
  if(compiler MATCHES "^(.+-)(g\\+\\+|c\\+\\+|clang\\+\\+)")
    list(APPEND candidates ${CMAKE_MATCH_1}windres)
  endif()
  if(CMAKE_CXX_COMPILER_TARGET)
    list(APPEND candidates ${CMAKE_CXX_COMPILER_TARGET}-windres)
  endif()
  list(APPEND candidates windres)
  find_program(QZSVC_WINDRES NAMES ${candidates} NAMES_PER_DIR
               DOC "Resource compiler for qzsvc_add_service")
  if(NOT QZSVC_WINDRES)
    _qzsvc_toolchain_hint(hint)
    list(REMOVE_DUPLICATES candidates)
    list(JOIN candidates ", " tried)
    message(FATAL_ERROR "qzsvc_add_service: no resource compiler found (tried "
      "${tried}). Configure a new build folder with a toolchain file that "
      "names the MinGW-w64 compiler and its windres, such as\n  ${hint}\n"
      "(Debian: packages g++-mingw-w64 and binutils-mingw-w64).")
  endif()
  get_filename_component(dir "${QZSVC_WINDRES}" DIRECTORY)
  get_filename_component(name "${QZSVC_WINDRES}" NAME)
  string(REGEX REPLACE "windres" "windmc" mc_name "${name}")
  find_program(QZSVC_WINDMC NAMES ${mc_name} HINTS ${dir} NO_DEFAULT_PATH
               DOC "Message compiler for qzsvc_add_service")
endfunction()

# Writes a generated file only when its contents change, so that a new
# configure does not rebuild the resources.
function(_qzsvc_write_file path content)
  file(WRITE ${path}.new "${content}")
  configure_file(${path}.new ${path} COPYONLY)
  file(REMOVE ${path}.new)
endfunction()

# A text as the contents of a resource script's string, where a backslash
# starts an escape and a quote is doubled.
function(_qzsvc_rc_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A text as the contents of a C++ string literal. Every byte outside
# printable ASCII becomes an octal escape (at most three digits, so the next
# character is never taken into it): the literal holds the text's UTF-8 bytes
# whatever source and execution character sets the compiler assumes. '?' is
# escaped so that no trigraph forms before C++17.
function(_qzsvc_cxx_string out text)
  string(HEX "${text}" hex)
  string(LENGTH "${hex}" length)
  set(result "")
  set(i 0)
  while(i LESS length)
    string(SUBSTRING "${hex}" ${i} 2 pair)
    math(EXPR byte "0x${pair}")
    if(byte EQUAL 34 OR byte EQUAL 63 OR byte EQUAL 92)
      string(ASCII ${byte} char)
      string(APPEND result "\\${char}")
    elseif(byte GREATER_EQUAL 32 AND byte LESS 127)
      string(ASCII ${byte} char)
      string(APPEND result "${char}")
    else()
      math(EXPR high "${byte} >> 6")
      math(EXPR middle "(${byte} >> 3) & 7")
      math(EXPR low "${byte} & 7")
      string(APPEND result "\\${high}${middle}${low}")
    endif()
    math(EXPR i "${i} + 2")
  endwhile()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# <target>_service_info.h: the names and version given to qzsvc_add_service
# as constants, so that the program states them once, in the CMake call.
function(_qzsvc_write_info_header path target service_name display_name
                                  description version version_parts)
  string(MAKE_C_IDENTIFIER "${target}_service_info" scope)
  string(TOUPPER "${scope}_H" guard)
  _qzsvc_cxx_string(service_name "${service_name}")
  _qzsvc_cxx_string(display_name "${display_name}")
  _qzsvc_cxx_string(description "${description}")
  list(GET version_parts 0 major)
  list(GET version_parts 1 minor)
  list(GET version_parts 2 patch)
  list(GET version_parts 3 build)
  _qzsvc_write_file(${path}
"// The names and version of the service ${target}, as given to
// qzsvc_add_service. Generated at configure time: change them there.
#ifndef ${guard}
#define ${guard}

namespace ${scope} {

constexpr char ServiceName[] = \"${service_name}\";
constexpr char DisplayName[] = \"${display_name}\";
constexpr char Description[] = \"${description}\";
constexpr char Version[] = \"${version}\";
constexpr unsigned VersionMajor = ${major};
constexpr unsigned VersionMinor = ${minor};
constexpr unsigned VersionPatch = ${patch};
constexpr unsigned VersionBuild = ${build};

}  // namespace ${scope}

#endif  // ${guard}
")
endfunction()

function(qzsvc_add_service target)
  cmake_parse_arguments(PARSE_ARGV 1 QZ "UTF8;MESSAGES"
                        "SERVICE_NAME;DISPLAY_NAME;DESCRIPTION;VERSION" "SOURCES")
  if(QZ_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qzsvc_add_service: unknown arguments ${QZ_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT QZ_SOURCES)
    message(FATAL_ERROR "qzsvc_add_service(${target}): SOURCES is required")
  endif()
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
    _qzsvc_toolchain_hint(hint)
    message(FATAL_ERROR "qzsvc_add_service(${target}): a service is a Windows "
      "program, and this build is for ${CMAKE_SYSTEM_NAME}. Configure a new build "
      "folder with a Windows toolchain file, such as\n  ${hint}")
  endif()
  if(NOT DEFINED QZ_SERVICE_NAME)
    set(QZ_SERVICE_NAME ${target})
  endif()
  # The service control manager refuses these in a service's key name.
  if(QZ_SERVICE_NAME STREQUAL "" OR QZ_SERVICE_NAME MATCHES "[/\\\\]")
    message(FATAL_ERROR "qzsvc_add_service(${target}): SERVICE_NAME "
                        "\"${QZ_SERVICE_NAME}\" is empty or holds a slash or backslash")
  endif()
  if(NOT DEFINED QZ_DISPLAY_NAME)
    set(QZ_DISPLAY_NAME "${QZ_SERVICE_NAME}")
  endif()
  if(NOT DEFINED QZ_DESCRIPTION)
    set(QZ_DESCRIPTION "${QZ_DISPLAY_NAME}")
  endif()
  if(NOT DEFINED QZ_VERSION)
    set(QZ_VERSION 0.0.0.0)
    if(PROJECT_VERSION)
      set(QZ_VERSION ${PROJECT_VERSION})
    endif()
  endif()
  if(NOT QZ_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "qzsvc_add_service(${target}): VERSION ${QZ_VERSION} is not "
                        "up to four numbers separated by dots")
  endif()
  string(REPLACE "." ";" parts "${QZ_VERSION}")
  foreach(part ${parts})
    if(part GREATER 65535)
      message(FATAL_ERROR "qzsvc_add_service(${target}): each part of VERSION "
                          "${QZ_VERSION} must be at most 65535")
    endif()
  endforeach()
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN parts "," version_numbers)

  _qzsvc_find_resource_tools()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  file(MAKE_DIRECTORY ${work})

  set(code_page "")
  if(QZ_UTF8)
    # The name of the 2019 windows-settings XML namespace, which Windows
    # matches as text; nothing is ever fetched from it. Composed from its
    # parts: scheme, authority, then path.
    string(JOIN "/" settings_ns "http:" "" "schemas.microsoft.com" "SMI" "2019"
           "WindowsSettings")
    set(code_page "
  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">
    <windowsSettings>
      <activeCodePage xmlns=\"${settings_ns}\">UTF-8</activeCodePage>
    </windowsSettings>
  </application>")
  endif()
  _qzsvc_write_file(${work}/${target}.manifest
"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>
<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">
  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>
      </requestedPrivileges>
    </security>
  </trustInfo>${code_page}
</assembly>
")

  _qzsvc_rc_string(description "${QZ_DESCRIPTION}")
  _qzsvc_rc_string(product "${QZ_DISPLAY_NAME}")
  set(messages "")
  set(depends ${work}/${target}.manifest)
  if(QZ_MESSAGES)
    if(NOT QZSVC_WINDMC)
      message(FATAL_ERROR "qzsvc_add_service(${target}): MESSAGES needs windmc "
                          "beside ${QZSVC_WINDRES}")
    endif()
    # %0 ends the text without the line break a message otherwise gets.
    _qzsvc_write_file(${work}/messages.mc
"LanguageNames=(English=0x409:MSG00409)
MessageId=0
Language=English
%1%0
.
")
    add_custom_command(OUTPUT ${work}/MSG00409.bin
      COMMAND ${QZSVC_WINDMC} -r ${work} -h ${work} ${work}/messages.mc
      DEPENDS ${work}/messages.mc
      COMMENT "Compiling the message table of ${target}" VERBATIM)
    list(APPEND depends ${work}/MSG00409.bin)
    set(messages "
LANGUAGE 0x9, 0x1
1 MESSAGETABLE \"${work}/MSG00409.bin\"
")
  endif()
  # RT_MANIFEST (24), id 1: the manifest of a process's executable.
  _qzsvc_write_file(${work}/${target}.rc
"#pragma code_page(65001)
LANGUAGE 0x9, 0x1
1 24 \"${work}/${target}.manifest\"

1 VERSIONINFO
FILEVERSION ${version_numbers}
PRODUCTVERSION ${version_numbers}
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
      VALUE \"FileDescription\", \"${description}\"
      VALUE \"FileVersion\", \"${QZ_VERSION}\"
      VALUE \"InternalName\", \"${target}\"
      VALUE \"OriginalFilename\", \"${target}.exe\"
      VALUE \"ProductName\", \"${product}\"
      VALUE \"ProductVersion\", \"${QZ_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
${messages}")

  # Compiled here rather than as an RC source, so that the project need not
  # enable the RC language.
  set(object ${work}/${target}_resources.o)
  add_custom_command(OUTPUT ${object}
    COMMAND ${QZSVC_WINDRES} -O coff -i ${work}/${target}.rc -o ${object}
    DEPENDS ${work}/${target}.rc ${depends}
    COMMENT "Compiling the resources of ${target}" VERBATIM)

  # In a folder of its own, so that nothing else generated here is found
  # through the include path.
  set(info ${CMAKE_CURRENT_BINARY_DIR}/${target}_include)
  _qzsvc_write_info_header(${info}/${target}_service_info.h ${target}
    "${QZ_SERVICE_NAME}" "${QZ_DISPLAY_NAME}" "${QZ_DESCRIPTION}" "${QZ_VERSION}" "${parts}")

  add_executable(${target} ${QZ_SOURCES} ${object})
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_include_directories(${target} PRIVATE ${info})
  target_link_libraries(${target} PRIVATE qzsvc::service)
endfunction()
