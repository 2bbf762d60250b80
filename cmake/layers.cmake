# SPDX-License-Identifier: ISC
# The layering check (check_layers.cmake) as a configure step and a build step.
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR}
                -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
                RESULT_VARIABLE ravel_layers_result)
if(NOT ravel_layers_result EQUAL 0)
  message(FATAL_ERROR "layering check failed")
endif()
file(GLOB ravel_layered_sources CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/common/*.cc ${PROJECT_SOURCE_DIR}/common/*.h
     ${PROJECT_SOURCE_DIR}/link/*.cc ${PROJECT_SOURCE_DIR}/link/*.h)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layers.stamp
  COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DSTAMP=${CMAKE_BINARY_DIR}/layers.stamp
          -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
  DEPENDS ${ravel_layered_sources} ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
  COMMENT "Checking that link/ and common/ include nothing of daemon/ or cli/")
add_custom_target(ravel_layers ALL DEPENDS ${CMAKE_BINARY_DIR}/layers.stamp)
