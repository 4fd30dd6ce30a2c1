# qzsvc_add_service: a service executable linked with qzsvc::service, with an
# application manifest, a version resource and, on request, a message table
# for its event source, compiled with the toolchain's windres and windmc.
#
#   qzsvc_add_service(<target> SOURCES <file>...
#                     [DISPLAY_NAME <text>] [DESCRIPTION <text>]
#                     [VERSION <major>[.<minor>[.<patch>[.<build>]]]]
#                     [UTF8] [MESSAGES])
#
# UTF8 makes UTF-8 the program's ANSI code page; MESSAGES adds a message
# table whose one message, id 0, is the record's text itself. Texts are
# UTF-8.
include_guard(GLOBAL)

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
    message(FATAL_ERROR "qzsvc_add_service: no windres found (tried ${candidates})")
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

function(qzsvc_add_service target)
  cmake_parse_arguments(PARSE_ARGV 1 QZ "UTF8;MESSAGES"
                        "DISPLAY_NAME;DESCRIPTION;VERSION" "SOURCES")
  if(QZ_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qzsvc_add_service: unknown arguments ${QZ_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT QZ_SOURCES)
    message(FATAL_ERROR "qzsvc_add_service(${target}): SOURCES is required")
  endif()
  if(NOT DEFINED QZ_DISPLAY_NAME)
    set(QZ_DISPLAY_NAME ${target})
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

  add_executable(${target} ${QZ_SOURCES} ${object})
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_link_libraries(${target} PRIVATE qzsvc::service)
endfunction()
