# Calls go downwards only: each folder of the source includes headers of its
# own layer and of the layers below it, never of one above. Run by CTest as
# `cmake -DSOURCE_DIR=... -P layers_test.cmake`; it names every include that
# breaks the rule and fails.
cmake_minimum_required(VERSION 3.25)

set(below_platform "platform")
set(below_ui "ui;platform")
set(below_databank "databank;platform")
set(below_registry "registry;databank;platform")
set(below_messaging "messaging;registry;databank;platform")
set(below_window "window;messaging;registry;databank;ui;platform")
set(below_tools "tools;messaging;registry;databank;platform")
set(layers platform ui databank registry messaging window tools)

set(broken "")
foreach(layer ${layers})
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cc")
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include \"[a-z_]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" target "${line}")
      if(target IN_LIST layers AND NOT target IN_LIST below_${layer})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        string(APPEND broken "  ${shown}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(broken)
  message(FATAL_ERROR "a lower layer includes a higher one:\n${broken}")
endif()
