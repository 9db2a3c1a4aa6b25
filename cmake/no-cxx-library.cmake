# Run after linking a module that takes only the C++ language runtime: fails
# when the module still needs a symbol of the C++ library (std::...), which
# the process would not have at import.
#   cmake -DMODULE=<path> -DNM=<nm> -P no-cxx-library.cmake
execute_process(
    COMMAND "${NM}" -D --undefined-only "${MODULE}"
    OUTPUT_VARIABLE undefined
    COMMAND_ERROR_IS_FATAL ANY
)
# Mangled names in namespace std (_ZSt, _ZNSt, _ZNKSt, ...) and the
# library's own versioned symbols.
string(REGEX MATCHALL "[^ \n]*(_ZN?K?St|@GLIBCXX_)[^ \n]*" needed "${undefined}")
if(needed)
    list(JOIN needed "\n  " shown)
    message(FATAL_ERROR "${MODULE} needs the C++ library:\n  ${shown}\n"
        "Use what the headers provide inline, or link the C++ library (see CMakeLists.txt).")
endif()
