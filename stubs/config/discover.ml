(* Finds the bus library: pkg-config's wex first (the Makefile points
   PKG_CONFIG_PATH at the CMake build tree), else the CMake build tree itself,
   $BUILD or _cmake under the source root. *)

module C = Configurator.V1

let source_root () =
  match Sys.getenv_opt "DUNE_SOURCEROOT" with
  | Some root -> root
  | None -> Filename.concat (Sys.getcwd ()) "../../../.."

let build_tree () =
  let root = source_root () in
  let build = Option.value (Sys.getenv_opt "BUILD") ~default:"_cmake" in
  let build = if Filename.is_relative build then Filename.concat root build else build in
  ( [ "-I" ^ Filename.concat root "bus/include" ],
    [ "-L" ^ Filename.concat build "lib"; "-lwex" ] )

let () =
  C.main ~name:"wex" (fun c ->
      let cflags, libs =
        match C.Pkg_config.get c with
        | None -> build_tree ()
        | Some pc -> (
            match C.Pkg_config.query pc ~package:"wex" with
            | Some { C.Pkg_config.cflags; libs } -> (cflags, libs)
            | None -> build_tree ())
      in
      C.Flags.write_lines "c_flags.lines" cflags;
      C.Flags.write_lines "library_flags.lines" libs;
      C.Flags.write_sexp "c_library_flags.sexp" libs)
