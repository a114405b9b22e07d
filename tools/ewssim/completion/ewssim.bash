# bash completion for ewssim (the EWS server simulator).
_ewssim() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    --config | --users-file | --state | --cert-out)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --server-version)
      COMPREPLY=($(compgen -W "Exchange2007 Exchange2007_SP1 Exchange2009 Exchange2010 Exchange2010_SP1
        Exchange2010_SP2 Exchange2012 Exchange2013 Exchange2013_SP1 Exchange2015 Exchange2016 V2015_10_05
        V2016_01_06 V2016_04_13 V2016_07_13 V2016_10_10 V2017_01_07 V2017_04_14 V2017_07_11
        V2017_10_09 V2018_01_08" -- "$cur"))
      return
      ;;
    --listen | --dns)
      COMPREPLY=($(compgen -W "127.0.0.1:0 127.0.0.1:8443 [::1]:0" -- "$cur"))
      return
      ;;
    --user | --seed)
      return
      ;;
  esac
  COMPREPLY=($(compgen -W "--listen --config --user --users-file --server-version --seed --tls
    --cert-out --state --state-reset --dns --version --help" -- "$cur"))
}
complete -F _ewssim ewssim
