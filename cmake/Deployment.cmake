# Deployment constants: host names and identifiers of the services the
# launcher talks to, written into generated headers by the parts that use
# them. The defaults name hosts under the reserved .example domain, so that a
# build without real values reaches nobody's servers.

function(launcher_deployment_value name default pattern description)
    set(${name} "${default}" CACHE STRING "${description}")
    if(NOT ${name} MATCHES "${pattern}")
        message(FATAL_ERROR "${name} must be ${description}; not '${${name}}'")
    endif()
endfunction()

set(host_or_port "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
launcher_deployment_value(LAUNCHER_REDIRECT_HOST "redirect.launcher.example" "${host_or_port}"
    "the redirect service: host or host:port, reached over HTTPS")
launcher_deployment_value(LAUNCHER_PACKAGE_STORE_HOST "store.launcher.example" "${host_or_port}"
    "the package store: host or host:port, base https://<host>/1.1/en-us/")
launcher_deployment_value(LAUNCHER_COLLECTOR_HOST "collector.launcher.example" "${host_or_port}"
    "the analytics collector: host or host:port, reached over plain HTTP")
launcher_deployment_value(LAUNCHER_SUPPORT_ROOT_URL "http://support.launcher.example/"
    "^http://[a-z0-9.:-]+/$" "the support site root URL, http://host/ in lower case")
launcher_deployment_value(LAUNCHER_PLACEHOLDER_URL "http://localbuild.launcher.example"
    "^http://[a-z0-9.:-]+$" "the 'use the package already here' address, http://host in lower case")
launcher_deployment_value(LAUNCHER_TRACKING_ID "UA-00000000-1" "^UA-[0-9]+-[0-9]+$"
    "the built-in tracking identifier, UA-digits-digits")
