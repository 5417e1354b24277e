# halvorn_embed(<target> <file> <function>)
# Compiles a file into the target byte for byte: the function
# halvorn::<function>() answers its bytes as a std::string_view (a header of
# the target declares it). The file is given relative to the current source
# folder. The assembler copies it in (.incbin), so large files cost nothing
# at configure time; a change of the file configures again and rebuilds the
# generated source, whose text carries the file's hash.
function(halvorn_embed target embed_file embed_function)
  get_filename_component(embed_path ${embed_file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(embed_path MATCHES "[\"\\\\]")
    message(FATAL_ERROR "halvorn_embed: a path holding a quote or a backslash: ${embed_path}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${embed_path})
  file(SHA256 ${embed_path} embed_hash)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/generated/${embed_function}.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/embedded_file.cpp.in ${generated} @ONLY)
  set_source_files_properties(${generated} PROPERTIES OBJECT_DEPENDS ${embed_path})
  target_sources(${target} PRIVATE ${generated})
endfunction()
