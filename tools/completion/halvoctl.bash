# Bash completion for halvoctl and halvo-sim.  Commands and options come
# from the programs' own --help; addresses from the simulator on the bus.

_halvoctl_addresses() {
  "$1" --json sim state 2>/dev/null | grep -oE '"address": ?"[0-9A-Fa-f:]{17}"' | grep -oE '[0-9A-Fa-f:]{17}' | sort -u
}

_halvoctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prog=${COMP_WORDS[0]} command="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -*) ;;
      *) command=${COMP_WORDS[i]}; break ;;
    esac
  done
  if [[ $cur == -* ]]; then
    local help
    if [ -n "$command" ]; then help=$("$prog" "$command" --help 2>/dev/null); else help=$("$prog" --help 2>/dev/null); fi
    COMPREPLY=($(compgen -W "$(grep -oE -- '--?[a-z][a-z-]*=?' <<<"$help" | sort -u)" -- "$cur"))
  elif [ -z "$command" ]; then
    COMPREPLY=($(compgen -W "$("$prog" --help 2>/dev/null | awk '/^  [a-z]/ {print $1}')" -- "$cur"))
  else
    local words
    case $command in
      mute) words="on off toggle status" ;;
      dut) words="enter stop left right tx rx" ;;
      info-sync) words="list remove" ;;
      blocked) words="list remove unblock" ;;
      dont-use) words="list status set unset remove" ;;
      earphones) words="connect disconnect" ;;
      manufacturer) words="read write parse" ;;
      sim) words="state save load reset fault" ;;
      volume) words="up down" ;;
    esac
    COMPREPLY=($(compgen -W "$words $(_halvoctl_addresses "$prog")" -- "$cur"))
  fi
}

_halvo_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    -e|--error|-n|--no-reply)
      COMPREPLY=($(compgen -W "$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -n '/^Methods/,$p' | tail -n +2)" -- "$cur"))
      return ;;
    -s|--scenario)
      COMPREPLY=($(compgen -f -- "$cur") $(compgen -W "$("${COMP_WORDS[0]}" --help 2>/dev/null |
        sed -n 's/^Shipped scenarios[^:]*://p' | tr ',' ' ')" -- "$cur"))
      return ;;
  esac
  COMPREPLY=($(compgen -W "$("${COMP_WORDS[0]}" --help 2>/dev/null | grep -oE -- '--[a-z][a-z-]*' | sort -u)" -- "$cur"))
}

complete -F _halvoctl halvoctl
complete -F _halvo_sim halvo-sim
