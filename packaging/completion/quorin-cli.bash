# bash completion for quorin-cli: commands, their options, the values of --mux and
# --on-read-error, and files for --disk, --out and the job list.
_quorin_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="list info rip jobs rename decode preview scan breaks recover"
    local common="--trace --log --help"
    local disk="--disk --firmware190 --no-firmware190 --udisks"
    local cmd="" w
    for w in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $w "*) cmd=$w; break ;; esac
    done

    case $prev in
        --disk|--edl) _filedir; return ;;
        --out|--library) if [[ $cmd == rip || $cmd == jobs || $cmd == recover ]]; then _filedir -d; else _filedir; fi; return ;;
        --mux) COMPREPLY=($(compgen -W "mkv mpg ts" -- "$cur")); return ;;
        --on-read-error) COMPREPLY=($(compgen -W "salvage stop" -- "$cur")); return ;;
        --format) COMPREPLY=($(compgen -W "bmp tga ppm yuv-y yuv-cb yuv-cr uyvy" -- "$cur")); return ;;
        --clip|--begin|--length|--end|--at|--name|--title|--only) return ;;
    esac

    local opts
    case $cmd in
        "") COMPREPLY=($(compgen -W "$commands --version $common" -- "$cur")); return ;;
        list) opts="$disk --json" ;;
        info) opts="$disk --json --clip" ;;
        rip) opts="$disk --clip --all --skip-existing --library --json --begin --length --end --out --no-audio
                   --no-video --patch-seqhdr --name --raw-audio --raw-video --backup --mux
                   --keep-streams --on-read-error --mark-breaks --no-breaks --keep --edl --marks --exact
                   --drop-breaks --min-confidence" ;;
        jobs) opts="$disk --out --raw-video --patch-seqhdr --rename-clips --dry-run --json --mux
                    --keep-streams --on-read-error" ;;
        rename) opts="$disk --clip --title" ;;
        decode) opts="--format" ;;
        preview) opts="$disk --clip --at --out" ;;
        scan) opts="$disk --clip --json --on-read-error" ;;
        breaks) opts="$disk --clip --json --edl --on-read-error" ;;
        recover) opts="$disk --list --only --out --json --mux --keep-streams --on-read-error" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts $common" -- "$cur"))
    else
        _filedir
    fi
}
complete -F _quorin_cli quorin-cli
