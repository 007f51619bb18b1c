(* Finds the bus library and says how the stubs, and the programs linked
   with the library wex, link to it.

   The library to build against: the CMake build tree of this source tree
   ($BUILD, default _cmake, under the source root) once it holds libwex.so,
   else pkg-config's wex (a bus library installed apart).

   What the archives record (c_library_flags.sexp: dune copies it into
   wex.cma and wex.cmxa, and so into the link of every program that uses
   them) depends on the build:
   - in-tree (WEX_INSTALL_LIBDIR unset): the directory of the library found
     above, as search path and as RUNPATH, so that the programs built here
     run from _build with no environment;
   - for an install (WEX_INSTALL_LIBDIR=DIR, set by make install and by the
     opam file to where libwex.so.3 is installed): DIR alone, as search path
     and RUNPATH, so that nothing installed names this tree.  dllwex_stubs.so
     then gets RUNPATH DIR too, so that bytecode loads it with no
     LD_LIBRARY_PATH.  What this build links itself (wexprobe, wex.cmxs)
     finds the library before it is installed through LIBRARY_PATH, a search
     path that the linker records nowhere. *)

module C = Configurator.V1

let source_root () =
  match Sys.getenv_opt "DUNE_SOURCEROOT" with
  | Some root -> root
  | None -> Filename.concat (Sys.getcwd ()) "../../.."

let build_tree () =
  let root = source_root () in
  let build = Option.value (Sys.getenv_opt "BUILD") ~default:"_cmake" in
  let build = if Filename.is_relative build then Filename.concat root build else build in
  let lib = Filename.concat build "lib" in
  if Sys.file_exists (Filename.concat lib "libwex.so") then
    Some ([ "-I" ^ Filename.concat root "bus/include" ], [ "-L" ^ lib; "-lwex" ])
  else None

let pkg_config c =
  match C.Pkg_config.get c with
  | None -> None
  | Some pc -> (
      match C.Pkg_config.query pc ~package:"wex" with
      | Some { C.Pkg_config.cflags; libs } -> Some (cflags, libs)
      | None -> None)

let search_dirs libs =
  List.filter_map
    (fun flag ->
      if String.length flag > 2 && String.sub flag 0 2 = "-L" then
        Some (String.sub flag 2 (String.length flag - 2))
      else None)
    libs

(* RUNPATH rather than RPATH, so that LD_LIBRARY_PATH still comes first (the
   boundary tests load a double of the library that way). *)
let runpath dirs = "-Wl,--enable-new-dtags" :: List.map (fun dir -> "-Wl,-rpath," ^ dir) dirs

let () =
  C.main ~name:"wex" (fun c ->
      let cflags, libs =
        match build_tree () with
        | Some found -> found
        | None -> (
            match pkg_config c with
            | Some found -> found
            | None ->
                C.die
                  "no bus library: build it first (make build), or install it \
                   where pkg-config finds wex")
      in
      let stub_link, recorded =
        match Sys.getenv_opt "WEX_INSTALL_LIBDIR" with
        | None | Some "" -> (libs, libs @ runpath (search_dirs libs))
        | Some dir ->
            if Filename.is_relative dir then
              C.die "WEX_INSTALL_LIBDIR must be an absolute directory, not %S" dir;
            let library_path =
              String.split_on_char ':' (Option.value (Sys.getenv_opt "LIBRARY_PATH") ~default:"")
            in
            if
              not
                (Sys.file_exists (Filename.concat dir "libwex.so")
                || List.exists (fun d -> List.mem d library_path) (search_dirs libs))
            then
              C.die
                "an install build links with the bus library before it is in %s: \
                 put %s in LIBRARY_PATH (make install does)"
                dir (String.concat ":" (search_dirs libs));
            (libs @ runpath [ dir ], [ "-L" ^ dir; "-lwex" ] @ runpath [ dir ])
      in
      C.Flags.write_lines "c_flags.lines" cflags;
      C.Flags.write_lines "library_flags.lines" stub_link;
      C.Flags.write_sexp "c_library_flags.sexp" recorded)
