# bash completion for ews, the Exchange Web Services command-line tool.
# Installed as bash-completion/completions/ews; or: source ews.bash

_ews() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null 2>&1; then
    _init_completion || return
  else
    COMPREPLY=()
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local commands="info folders ls mkdir rmdir empty mv cp rm import set send show reply forward export resolve freebusy suggest mailtips convertid watch sync cal meet respond cancel occurrences oof categories rooms photo contacts contact tasks task dl login autodiscover profile"
  local global="--url --user --profile --password-file --insecure --cacert --capath --version-check --impersonate --trace --json --jsonl --keys --help --help-all --version"
  local folders="inbox sentitems drafts deleteditems junkemail outbox calendar contacts tasks notes journal msgfolderroot root publicfoldersroot searchfolders voicemail archivemsgfolderroot archiveinbox archivedeleteditems archiveroot recoverableitemsroot recoverableitemsdeletions conversationhistory conflicts syncissues"
  local fields="subject from to cc received sent id class isread size importance hasattachments datetimereceived datetimesent datetimecreated categories sensitivity itemclass body"

  # The command: the first word that is not an option or an option's value; for commands with
  # subcommands (oof on, contact add, …) the word after it.
  local i command="" sub=""
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      --url | --user | --profile | --password-file | --cacert | --capath | --version-check | --impersonate | --trace | --keys) ((i++)) ;;
      -*) ;;
      *) command="${words[i]}"; break ;;
    esac
  done
  if [[ -n "$command" ]] && ((i + 1 < cword)); then
    sub="${words[i+1]}"
  fi

  if [[ "$command" == convertid && ("$prev" == --to || "$prev" == --from) ]]; then
    COMPREPLY=($(compgen -W "ewsid ewslegacyid entryid hexentryid storeid owaid" -- "$cur"))
    return
  fi
  case "$prev" in
    --password-file | --cacert | --attach | --body | --svg | --photo)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --repeat)
      COMPREPLY=($(compgen -W "daily weekly: monthly:" -- "$cur")); return ;;
    --capath | --trace)
      COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --version-check)
      COMPREPLY=($(compgen -W "on off" -- "$cur")); return ;;
    --keys)
      COMPREPLY=($(compgen -W "friendly definition" -- "$cur")); return ;;
    --oauth-grant)
      COMPREPLY=($(compgen -W "authorize password client-credentials" -- "$cur")); return ;;
    --audience)
      COMPREPLY=($(compgen -W "known all none" -- "$cur")); return ;;
    --size)
      COMPREPLY=($(compgen -W "48 64 96 120 240 360 432 504 648" -- "$cur")); return ;;
    oof | contact | task | dl)
      if [[ "$prev" == "$command" ]]; then
        local subs
        case "$command" in
          oof) subs="on off" ;;
          contact) subs="add show" ;;
          task) subs="add done" ;;
          dl) subs="expand create" ;;
        esac
        COMPREPLY=($(compgen -W "$subs" -- "$cur")); return
      fi ;;
    profile)
      COMPREPLY=($(compgen -W "ls show use rm" -- "$cur")); return ;;
    --columns)
      local prefix="${cur%,*}" last="${cur##*,}"
      if [[ "$cur" == *,* ]]; then
        COMPREPLY=($(compgen -P "$prefix," -W "$fields" -- "$last"))
      else
        COMPREPLY=($(compgen -W "$fields" -- "$cur"))
      fi
      return ;;
    --url | --user | --impersonate | --to | --cc | --subject | --where | --limit | --page-size | \
      --reply | --external | --until | --name | --email | --phone | --company | --due)
      return ;;
  esac

  if [[ -z "$command" ]]; then
    if [[ "$cur" == -* ]]; then
      COMPREPLY=($(compgen -W "$global" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  local flags="--help"
  case "$command" in
    folders) flags+=" --tree" ;;
    ls) flags+=" --columns --where --limit --page-size" ;;
    rmdir | rm) flags+=" --hard --soft" ;;
    empty) flags+=" --hard --soft --subfolders" ;;
    send) flags+=" --to --cc --subject --body --attach --save-copy" ;;
    show) flags+=" --mime" ;;
    reply) flags+=" --all --to --cc --body" ;;
    forward) flags+=" --to --cc --body" ;;
    freebusy) flags+=" --date --days --tz --interval --svg" ;;
    suggest) flags+=" --duration --from --to --tz --limit" ;;
    convertid) flags+=" --to --from --mailbox" ;;
    watch) flags+=" --json" ;;
    cal) flags+=" --from --to --week" ;;
    meet) flags+=" --subject --start --end --tz --to --optional --room --repeat --until --count --body" ;;
    respond) flags+=" --body --propose" ;;
    cancel) flags+=" --body" ;;
    occurrences) flags+=" --limit" ;;
    login) flags+=" --name --oauth-client-id --oauth-tenant --oauth-grant" ;;
    autodiscover) flags+=" --verbose --oauth-client-id --oauth-tenant --oauth-grant" ;;
    oof) [[ "$sub" == on ]] && flags+=" --reply --external --audience --from --until" ;;
    photo) flags+=" --size" ;;
    contacts) flags+=" --where" ;;
    contact) [[ "$sub" == add ]] && flags+=" --name --email --phone --company --photo" ;;
    tasks) flags+=" --all" ;;
    task) [[ "$sub" == add ]] && flags+=" --due" ;;
    dl) [[ "$sub" == expand ]] && flags+=" --direct" ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$flags" -- "$cur"))
    return
  fi
  case "$command" in
    respond)
      if [[ "$prev" != respond && "$prev" != -* ]]; then
        COMPREPLY=($(compgen -W "accept tentative decline" -- "$cur"))
      fi ;;
    cal) COMPREPLY=($(compgen -W "calendar" -- "$cur")) ;;
    folders | ls | rmdir | empty | mv | cp | export | watch | sync)
      if [[ ( "$command" == export || "$command" == sync ) && "$prev" != "$command" ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$folders" -- "$cur"))
      fi ;;
    import)
      if [[ "$prev" == import ]]; then
        COMPREPLY=($(compgen -W "$folders" -- "$cur"))
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
  esac
}

complete -F _ews ews
